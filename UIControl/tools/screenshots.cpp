// Renders the virtual instrument window and the message window to PNG files,
// so that a person can check the look without a meter.
#include "resources/Bitmaps.h"
#include "UIControl/Display.h"
#include "UIControl/Form1.h"
#include "ui/MsgBox.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QPainter>
#include <QTextStream>
#include <QTimer>

using namespace norvale::uicontrol;

namespace
{

// Every problem this program reports goes through here.
void report(const QString &text)
{
    QTextStream(stderr) << "kest720ui-screenshots: " << text << Qt::endl;
}

bool save(const QWidget &w, const QDir &dir, const QString &name)
{
    const QString file = dir.filePath(name + QStringLiteral(".png"));
    if (!const_cast<QWidget &>(w).grab().save(file)) {
        report(QStringLiteral("could not write %1").arg(file));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kest720ui-screenshots"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Renders the 721 Virtual Instrument Display in each alarm state and "
                       "with sample readings, and the message window, as PNG files."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("Where to write the PNG files (created if "
                                                "missing; default: screenshots)."));
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    if (args.size() > 1) {
        report(QStringLiteral("one output folder at most"));
        return 2;
    }
    const QDir dir(args.isEmpty() ? QStringLiteral("screenshots") : args.first());
    if (!QDir().mkpath(dir.path())) {
        report(QStringLiteral("could not create %1").arg(dir.path()));
        return 1;
    }

    bool ok = true;
    norvale::uicontrol::Display d;
    Form1 &f = *d.frm();
    const auto tick = [&f] { QMetaObject::invokeMethod(&f, "Timer1_Timer"); };
    d.setColorAckNormal(norvale::ui::olecolor::Green);
    d.setColorUnAckAlarm(norvale::ui::olecolor::Red);
    d.setColorAckAlarm(norvale::ui::olecolor::Yellow);
    d.setColorUnAckNormal(norvale::ui::olecolor::Blue);
    d.setUseAcknowledge(true);
    d.Show();

    // The alarm states, on a reading of 7.5 on the 500 uR/h range.
    struct State {
        enumAlarmState state;
        const char *name;
        const char *alarm;
    } const states[] = {
        {StateUnknown, "state0-unknown", ""},          {AckNormal, "state1-acknormal", ""},
        {UnackAlarm, "state2-unackalarm", "0.0148 mR/h"},   {AckAlarm, "state3-ackalarm", "5 uR/h"},
        {UnAckNormal, "state4-unacknormal", "5 uR/h"},
    };
    for (const State &s : states) {
        d.Reset();
        d.setScaleNumber(500);
        d.setUnits(QStringLiteral("500 uR/h"));
        d.setValue(7.5);
        d.setAlarmValue(QString::fromLatin1(s.alarm));
        d.setAlarmState(s.state);
        f.Timer1->stop(); // ticks are driven by hand below
        ok &= save(f, dir, QString::fromLatin1(s.name) + QStringLiteral("-bright"));
        tick(); // shows the picture of the phase, which starts bright
        if (f.picLed->shownPicture() == f.AlarmColorIndex)
            tick();
        ok &= save(f, dir, QString::fromLatin1(s.name) + QStringLiteral("-dark"));
    }

    // Readings.
    struct Reading {
        double value;
        const char *units;
        int16_t scale;
        const char *name;
    } const readings[] = {
        {0.004, "500 uR/h", 500, "reading-0.004-500uRh"},
        {7.5, "500 uR/h", 500, "reading-7.5-500uRh"},
        {250, "500 uR/h", 500, "reading-250-500uRh"},
        {2.0, " mSv/h", 5, "reading-2.0-mSvh"},
    };
    for (const Reading &r : readings) {
        d.Reset();
        d.setScaleNumber(r.scale);
        d.setUnits(QString::fromLatin1(r.units));
        d.setAlarmValue(QString());
        d.setValue(r.value);
        ok &= save(f, dir, QString::fromLatin1(r.name));
    }

    d.Reset();
    d.setScaleNumber(500);
    d.setUnits(QStringLiteral(" mR/h"));
    d.setAlarmValue(QString());
    d.ShowMessage(QStringLiteral("Please Wait..."));
    ok &= save(f, dir, QStringLiteral("message-please-wait"));

    norvale::ui::MsgBox m;
    m.Message(QStringLiteral("Connecting to unit..."));
    ok &= save(*m.form(), dir, QStringLiteral("msgbox"));

    // The pictures themselves, four times their size, as stored (magenta and
    // white are their transparent backgrounds).
    QImage sheet(11 * 136 + 8, 144, QImage::Format_RGB32);
    sheet.fill(QColor(160, 160, 160));
    {
        QPainter p(&sheet);
        for (int i = 0; i < 11; ++i) {
            const QImage pic = i < 10 ? norvale::resources::displayPicture(101 + i)
                                      : norvale::resources::assistantPicture(103);
            p.drawImage(QRect(8 + i * 136, 8, pic.width() * 4, pic.height() * 4), pic);
        }
    }
    if (!sheet.save(dir.filePath(QStringLiteral("bitmaps.png")))) {
        report(QStringLiteral("could not write bitmaps.png"));
        ok = false;
    }

    return ok ? 0 : 1;
}
