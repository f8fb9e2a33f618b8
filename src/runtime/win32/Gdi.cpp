#include "Gdi.h"

#include "SkinPaint.h"

namespace runtime::win32 {

Canvas::Canvas(HDC like, int width, int height) noexcept
    : m_dc(like), m_bitmap(createCanvas(like, width, height))
{
    if (m_dc.get() != nullptr && m_bitmap)
        m_selection.emplace(m_dc.get(), m_bitmap.get());
}

} // namespace runtime::win32
