// The window as a front end: what a person sees of the session's reports, and
// the session calls its controls make; and the layout as a person judges it:
// nothing clipped, nothing overlapping, every caption fitting its control.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "Doubles.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

template <typename W = QWidget>
W* control(QWidget& form, const char* name) {
    auto* widget = form.findChild<W*>(QLatin1String(name));
    if (widget == nullptr) {
        qFatal("no control %s", name);
    }
    return widget;
}

// What a person reads on a control: a frame's title, else its text.
QString captionOf(const QWidget* widget) {
    return widget->property(qobject_cast<const QGroupBox*>(widget) ? "title" : "text").toString();
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        form_.reset();  // before the platform it uses
        tp_ = std::make_unique<TestPlatform>();
        tp_->serial.setOpenResult(1, CommError::None);
        tp_->serial.setOpenResult(2, CommError::None);
        form_ = std::make_unique<Mainform>(tp_->platform);
        form_->Form_Load();
        form_->show();
    }

    void reportsReachTheControls() {
        Mainform& f = *form_;
        f.driveChanged({"1.05B", "KX-M1", "desc"});
        f.fileChanged({"2.10", "QN-J AC", "/a/b.E"});
        f.actionsChanged({true, false, true, false});
        f.statusAppended(QStringLiteral("one\r\ntwo"));
        f.progressChanged(3'000'000'000LL, 6'000'000'000LL);  // past an int: the ratio is kept
        f.countersChanged({"0", "5", "4", ""});
        QStringList seen;
        for (const char* name : {"DriveRev", "DriveModel", "DriveDesc", "FileRev", "FileModel",
                                 "FileName", "PacketsSent", "PacketsAckd"}) {
            seen << captionOf(control(f, name));
        }
        QCOMPARE(seen,
                 QStringList({"1.05B", "KX-M1", "desc", "2.10", "QN-J AC", "/a/b.E", "5", "4"}));
        QVERIFY(control(f, "StartDownload")->isEnabled());
        QVERIFY(!control(f, "OpenPrograms")->isEnabled());
        QCOMPARE(control<QPlainTextEdit>(f, "txtScript")->toPlainText(),
                 QStringLiteral("one\ntwo"));
        auto* bar = control<QProgressBar>(f, "ProgressBar1");
        QCOMPARE(bar->value() * 2, bar->maximum());
        QVERIFY(!control(f, "optEthernet")->isEnabled() && control(f, "optSerial")->isEnabled());
    }

    // While a download runs (here one that stops at its first message)
    // nothing that could change it can be used, and leaving the address box
    // on the way checks nothing; afterwards all is back (on Ethernet the
    // clean-up enables "Download to Drive..." too).
    void controlsRestWhileADownloadRuns() {
        Mainform& f = *form_;
        f.session().chooseLink(Link::Ethernet);
        f.session().editAddress(QStringLiteral("1..2"));
        f.session().report().allowStartDownload(true);  // as a file read on Ethernet does
        const char* const names[] = {"StartDownload", "OpenPrograms", "optSerial", "optEthernet",
                                     "CommList",      "txtIP",        "Ping"};
        auto enabled = [&f, &names] {
            QStringList on;
            for (const char* name : names) {
                on << (control(f, name)->isEnabled() ? name : "-");
            }
            return on;
        };
        QStringList during, texts;
        QTimer person;  // reads each box and presses OK
        connect(&person, &QTimer::timeout, [&] {
            for (auto* box : f.findChildren<QMessageBox*>()) {
                if (box->isVisible()) {
                    during = enabled();
                    texts << box->text();
                    box->done(QMessageBox::Ok);
                }
            }
        });
        person.start(10);
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        auto* start = control(f, "StartDownload");
        start->setFocus();
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(texts, QStringList{"Invalid drive IP address"});
        QCOMPARE(during, QStringList(std::size(names), "-"));
        QCOMPARE(enabled(), QStringList(std::begin(names), std::end(names)));
    }

    void controlsCallTheSession() {
        Mainform& f = *form_;
        auto* list = control<QComboBox>(f, "CommList");
        list->setCurrentIndex(2);
        emit list->activated(2);
        QCOMPARE(f.session().serialState().CommPortNumber, 2);

        auto* ip = control<QLineEdit>(f, "txtIP");
        ip->setText(QStringLiteral("10.0.0."));
        QTest::keyClicks(ip, QStringLiteral("7"));
        QCOMPARE(f.session().choices().address, QStringLiteral("10.0.0.7"));
        control<QRadioButton>(f, "optEthernet")->click();
        QCOMPARE(f.session().choices().link, Link::Ethernet);
        QVERIFY(ip->isVisible() && control(f, "Ping")->isVisible() && !list->isVisible());
        QCOMPARE(f.windowTitle(), QStringLiteral("10.0.0.7 Kestrel PRO Firmware Updater 0.1.0"));
        const size_t opens = tp_->serial.openings().size();
        control<QRadioButton>(f, "optSerial")->click();  // reopens the port
        QCOMPARE(tp_->serial.openings().size(), opens + 1);
        QCOMPARE(f.windowTitle(), QStringLiteral("Kestrel PRO Firmware Updater 0.1.0"));
        QVERIFY(!ip->isVisible());
    }

    // A signal while a message box is open: the box goes, the session ends.
    void quitClosesAnOpenMessageAndEnds() {
        Mainform& f = *form_;
        QTimer::singleShot(0, &f, [&f] { f.Quit_Click(); });
        f.showMessage(QStringLiteral("Invalid Port Number"), MessageIcon::None);
        QVERIFY(f.session().ended());
        QVERIFY(f.findChildren<QMessageBox*>().isEmpty());
    }

    void layoutFitsAndNothingOverlaps() {
        const QList<QWidget*> all = form_->findChildren<QWidget*>();
        for (QWidget* w : all) {
            if (!w->isVisible() || w->parentWidget() == nullptr || w->objectName().isEmpty()) {
                continue;
            }
            const QString name = w->objectName();
            QVERIFY2(w->parentWidget()->rect().contains(w->geometry()),
                     qPrintable(name + " clipped"));
            const QString text = captionOf(w);
            // Check boxes, buttons and frames need room beside their text.
            const int room = qobject_cast<QLabel*>(w) ? 0 : 12;
            QVERIFY2(w->fontMetrics().horizontalAdvance(text) + room <= w->width(),
                     qPrintable(name + " text does not fit"));
            for (QWidget* other : all) {
                if (other != w && other->parentWidget() == w->parentWidget() &&
                    other->isVisible() && !other->objectName().isEmpty()) {
                    QVERIFY2(!w->geometry().intersects(other->geometry()),
                             qPrintable(name + " overlaps " + other->objectName()));
                }
            }
        }
        // Ethernet's controls and the counters stay out of sight until asked for.
        for (const char* name : {"optEthernet", "txtIP", "Ping", "Records", "eText"}) {
            QVERIFY2(!control(*form_, name)->isVisible(), name);
        }
    }

    void logoIsDrawnNotLeftBlank() {
        const QImage logo = control<QLabel>(*form_, "Image1")->pixmap().toImage();
        QVERIFY(!logo.isNull() &&
                logo.pixelColor(logo.width() / 2, logo.height() / 2) != logo.pixelColor(0, 0));
    }

  private:
    std::unique_ptr<TestPlatform> tp_;
    std::unique_ptr<Mainform> form_;
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
