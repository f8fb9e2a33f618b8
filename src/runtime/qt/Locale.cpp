#include "runtime/Text.h"

#include <QLocale>

namespace runtime {

std::string decimalSeparator()
{
    return QLocale().decimalPoint().toStdString();
}

} // namespace runtime
