#include "displaycontrols/kest720Scale.h"
#include "displaycontrols/Fonts.h"
#include "displaycontrols/PropertyBag.h"
#include "displaycontrols/Twips.h"

#include <QPaintEvent>
#include <QPainter>
#include <cmath>

namespace norvale::displaycontrols
{

namespace scale
{

Ladder ladder(double scaleNumber)
{
    struct Row {
        double upTo;
        float fullScale;
        double labelFactor;
    };
    static constexpr Row rows[] = {
        {0.005, 0.005f, 1}, {0.05, 0.05f, 10}, {0.5, 0.5f, 100}, {5, 5, 1},
        {50, 50, 10},       {500, 500, 100},   {5000, 5000, 1},
    };
    for (const Row &r : rows)
        if (scaleNumber <= r.upTo)
            return {r.fullScale, r.labelFactor, true};
    return {0, 0, false};
}

namespace
{

// Whole number nearest to v, halves to even, kept inside the 32-bit range.
int roundEven(double v)
{
    if (std::isnan(v))
        return 0;
    return static_cast<int>(std::nearbyint(std::clamp(v, -2.0e9, 2.0e9)));
}

} // namespace

int tickSpacing(int widthTwips)
{
    return (widthTwips - 240) / 50;
}

int barSpacing(int widthTwips)
{
    return roundEven((widthTwips - 240) / 100.0);
}

int filledCount(float value, float fullScale)
{
    // No range yet (a first ScaleNumber above 5000): nothing to fill.
    if (!(fullScale > 0))
        return 0;
    // Multiplying first keeps exact halves exact (12.5 of 500 is 2.5 strokes).
    return roundEven(static_cast<double>(value) * 100.0 / fullScale);
}

QList<Tick> ticks(int widthTwips, double labelFactor)
{
    const int s = tickSpacing(widthTwips);
    QList<Tick> out;
    for (int i = 0; i <= 50; ++i) {
        Tick t{120 + i * s, 80, {}};
        if (i % 10 == 0) {
            t.length = 220;
            t.label = QString::number((i / 10) * labelFactor, 'g', 15);
        } else if (i % 5 == 0) {
            t.length = 160;
        }
        out.append(t);
    }
    return out;
}

QList<int> barStrokes(int widthTwips, float value, float fullScale)
{
    const int f = filledCount(value, fullScale);
    const int b = barSpacing(widthTwips);
    QList<int> out;
    for (int i = 0; i < 100; ++i)
        if (i < f || i == 0)
            out.append(120 + i * b);
    return out;
}

} // namespace scale

namespace
{

// A vertical twip line as the surface draws it: from the start pixel up to,
// not including, the end pixel.
void verticalLine(QPainter &p, int x, int y1, int y2)
{
    const int px = twips::toPixels(x), top = twips::toPixels(y1), end = twips::toPixels(y2);
    if (end > top)
        p.fillRect(px, top, 1, end - top, Qt::black);
}

} // namespace

kest720Scale::kest720Scale(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("kest720Scale"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFont(fonts::font(QStringLiteral("MS Sans Serif"), 8.25));
}

QSize kest720Scale::sizeHint() const
{
    return QSize(twips::toPixels(3015), twips::toPixels(855));
}

int kest720Scale::widthTwips() const
{
    return width() * twips::PerPixel;
}

void kest720Scale::setValue(double v)
{
    m_value = static_cast<float>(v);
    repaint();
}

void kest720Scale::setScaleNumber(int n)
{
    m_scaleNumber = n;
    DrawScale();
}

void kest720Scale::setBackColor(ui::OLE_COLOR c)
{
    m_backColor = c;
    // The scale already drawn is drawn again on the new colour.
    renderScale();
    update();
}

void kest720Scale::DrawScale()
{
    const scale::Ladder l = scale::ladder(m_scaleNumber);
    if (l.known)
        m_fullScale = l.fullScale;
    m_labelFactor = l.known ? l.labelFactor : 0;
    m_scaleDrawn = true;
    renderScale();
    update();
}

void kest720Scale::renderScale()
{
    if (!m_scaleDrawn) {
        m_image = QImage();
        return;
    }
    m_image = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    m_image.fill(ui::toQColor(m_backColor));
    QPainter p(&m_image);
    p.setFont(font());
    p.setPen(Qt::black);
    const QFontMetrics fm(font());
    for (const scale::Tick &t : scale::ticks(widthTwips(), m_labelFactor)) {
        if (!t.label.isEmpty()) {
            const int textWidth = fm.horizontalAdvance(t.label);
            p.drawText(twips::toPixels(t.x) - textWidth / 2, twips::toPixels(400) + fm.ascent(),
                       t.label);
        }
        verticalLine(p, t.x, 160, 160 + t.length);
    }
}

void kest720Scale::paintEvent(QPaintEvent *e)
{
    QPainter p(this);
    p.fillRect(e->rect(), ui::toQColor(m_backColor));
    if (!m_image.isNull())
        p.drawImage(0, 0, m_image);
    // The bar follows the range at once, without waiting for DrawScale.
    const scale::Ladder l = scale::ladder(m_scaleNumber);
    if (l.known)
        m_fullScale = l.fullScale;
    for (int x : scale::barStrokes(widthTwips(), m_value, m_fullScale))
        verticalLine(p, x, 0, 140);
}

void kest720Scale::resizeEvent(QResizeEvent *)
{
    // The drawn scale is kept; a larger surface shows the back colour beyond it.
    if (!m_image.isNull() && m_image.size() != size()) {
        QImage grown(size().expandedTo(m_image.size()), QImage::Format_RGB32);
        grown.fill(ui::toQColor(m_backColor));
        QPainter(&grown).drawImage(0, 0, m_image);
        m_image = grown;
    }
}

void kest720Scale::ReadProperties(const PropertyBag &bag)
{
    setBackColor(bag.readColor(QStringLiteral("BackColor"), ui::olecolor::White));
}

void kest720Scale::WriteProperties(PropertyBag &bag) const
{
    bag.WriteProperty(QStringLiteral("BackColor"), static_cast<qlonglong>(m_backColor),
                      static_cast<qlonglong>(ui::olecolor::White));
}

} // namespace norvale::displaycontrols
