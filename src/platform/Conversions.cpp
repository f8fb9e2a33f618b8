#include "Conversions.h"

#include "PlatformError.h"

#include <QLocale>
#include <cmath>
#include <limits>

namespace platform {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == QChar(0x3000);
}

// Reads digits of a radix ("&H1F", "&O17") after the prefix; letters beyond the radix end it.
double radixValue(const QString &digits, int radix)
{
    double value = 0.0;
    for (QChar c : digits) {
        const int digit = c.isDigit() ? c.digitValue()
                                      : (c.toUpper() >= u'A' && c.toUpper() <= u'F'
                                             ? c.toUpper().unicode() - u'A' + 10
                                             : 99);
        if (digit >= radix)
            break;
        value = value * radix + digit;
    }
    return value;
}

QString localised(QString text)
{
    const QString point = QLocale().decimalPoint();
    if (point != QStringLiteral("."))
        text.replace(u'.', point);
    return text;
}

QString shortestText(double value, int significantDigits)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (value == 0.0)
        return QStringLiteral("0");
    // 'G' drops trailing zeros and switches to exponent form once fixed form needs more digits.
    QString text = QString::number(value, 'G', significantDigits);
    // Exponents read E+07, not E+007 or e+07.
    const qsizetype e = text.indexOf(u'E');
    if (e >= 0) {
        QString mantissa = text.left(e);
        QString exponent = text.mid(e + 1);
        const QChar sign = exponent.front();
        exponent = exponent.mid(1);
        while (exponent.size() > 2 && exponent.front() == u'0')
            exponent.remove(0, 1);
        text = mantissa + u'E' + sign + exponent;
    }
    return localised(text);
}

} // namespace

double valueOfText(const QString &text)
{
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text)
        if (!isBlank(c))
            compact.append(c);

    if (compact.startsWith(u'&') && compact.size() > 1) {
        const QChar prefix = compact.at(1).toUpper();
        if (prefix == u'H')
            return radixValue(compact.mid(2), 16);
        if (prefix == u'O')
            return radixValue(compact.mid(2), 8);
        return radixValue(compact.mid(1), 8);
    }

    // The longest prefix of the form [sign] digits [. digits] [(E|D) [sign] digits].
    qsizetype i = 0;
    const qsizetype n = compact.size();
    QString number;
    if (i < n && (compact[i] == u'+' || compact[i] == u'-'))
        number.append(compact[i++]);
    bool anyDigit = false;
    while (i < n && compact[i] >= u'0' && compact[i] <= u'9') {
        number.append(compact[i++]);
        anyDigit = true;
    }
    if (i < n && compact[i] == u'.') {
        number.append(compact[i++]);
        while (i < n && compact[i] >= u'0' && compact[i] <= u'9') {
            number.append(compact[i++]);
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return 0.0;
    if (i < n && (compact[i].toUpper() == u'E' || compact[i].toUpper() == u'D')) {
        qsizetype j = i + 1;
        QString exponent = QStringLiteral("e");
        if (j < n && (compact[j] == u'+' || compact[j] == u'-'))
            exponent.append(compact[j++]);
        bool exponentDigit = false;
        while (j < n && compact[j] >= u'0' && compact[j] <= u'9') {
            exponent.append(compact[j++]);
            exponentDigit = true;
        }
        if (exponentDigit)
            number.append(exponent);
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(number, &ok);
    if (ok)
        return value;
    // Only an exponent beyond the double range gets here.
    return number.contains(u"e-")
               ? 0.0
               : (number.startsWith(u'-') ? -std::numeric_limits<double>::infinity()
                                          : std::numeric_limits<double>::infinity());
}

QString textOfInt(std::int32_t value)
{
    return QString::number(value);
}

QString textOfSingle(float value)
{
    return shortestText(static_cast<double>(value), 7);
}

QString textOfDouble(double value)
{
    return shortestText(value, 15);
}

QString textOfValue(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::Float:
        return textOfSingle(value.toFloat());
    case QMetaType::Double:
        return textOfDouble(value.toDouble());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return value.toString();
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QChar:
        return value.toString();
    default:
        if (value.canConvert<QString>())
            return value.toString();
        throw PlatformError("the value has no text form");
    }
}

QString groupedCount(std::int64_t value)
{
    QLocale english(QLocale::English, QLocale::UnitedStates);
    english.setNumberOptions(QLocale::DefaultNumberOptions);
    return english.toString(static_cast<qlonglong>(value));
}

} // namespace platform
