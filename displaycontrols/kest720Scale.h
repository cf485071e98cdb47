#pragma once
// kest720Scale: the analogue part of the meter face, a bar of up to 100
// strokes over a scale of 51 ticks with six numbered major ticks. All
// geometry is in twips.
#include "ui/OleColor.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

namespace norvale::displaycontrols
{

class PropertyBag;

namespace scale
{

// End value and tick-label multiplier for a range; `known` is false above
// 5000, where the end value stays as it was and the labels read 0.
struct Ladder {
    float fullScale;
    double labelFactor;
    bool known;
};
Ladder ladder(double scaleNumber);

// Spacing of the 51 ticks and of the 100 bar strokes for a control width.
int tickSpacing(int widthTwips);
int barSpacing(int widthTwips);

// Bar strokes filled for a value, rounded half to even.
int filledCount(float value, float fullScale);

struct Tick {
    int x;         // twips from the left
    int length;    // twips down from y = 160
    QString label; // under major ticks only
};
QList<Tick> ticks(int widthTwips, double labelFactor);

// Left edges (twips) of the strokes drawn for a value; the zero mark is
// always among them.
QList<int> barStrokes(int widthTwips, float value, float fullScale);

} // namespace scale

class kest720Scale : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(double Value READ Value WRITE setValue)
    Q_PROPERTY(int ScaleNumber READ ScaleNumber WRITE setScaleNumber)
    Q_PROPERTY(uint BackColor READ BackColor WRITE setBackColor)

public:
    explicit kest720Scale(QWidget *parent = nullptr);

    double Value() const { return m_value; }
    void setValue(double v);
    int ScaleNumber() const { return m_scaleNumber; }
    void setScaleNumber(int n);
    ui::OLE_COLOR BackColor() const { return m_backColor; }
    void setBackColor(ui::OLE_COLOR c);

    void ReadProperties(const PropertyBag &bag);
    void WriteProperties(PropertyBag &bag) const;

    float FullScale() const { return m_fullScale; }
    double LabelFactor() const { return m_labelFactor; }
    // The drawn scale, or a null image before the first ScaleNumber.
    const QImage &persistentImage() const { return m_image; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;

private:
    void DrawScale();
    void renderScale();
    int widthTwips() const;

    float m_value = 0;
    int m_scaleNumber = 500;
    float m_fullScale = 0;
    double m_labelFactor = 0;
    ui::OLE_COLOR m_backColor = ui::olecolor::White;
    bool m_scaleDrawn = false;
    QImage m_image; // what DrawScale drew; survives repaints
};

} // namespace norvale::displaycontrols
