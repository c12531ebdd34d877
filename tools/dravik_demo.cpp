// dravik-demo: drives the real main dialog without an operator, for headless demonstrations
// and screenshots. It is not part of the tool (Dravik itself takes no command line).
//
// usage: dravik-demo --port PATH [--png FILE] [--hold]
//        dravik-demo --no-meter [--png FILE] [--hold]
//
// --port PATH  the only port searched is PATH (a simulated meter's pty): the machine's own
//              serial ports are never opened. Fills the four edit boxes, presses SET on each
//              channel in turn and prints the status line after every press.
// --no-meter   no port at all: presses the first SET, which ends in the "no meter" message box.
// --png FILE   saves a picture of the dialog (--port) or of the message box (--no-meter).
// --hold       leaves the window open until it is closed, after printing
//              "READY window=0x<X11 window id>" for a screenshot tool.
//
// Exit status: 0 when done; 1 when a picture could not be saved or, with --port, a message box
// came up (the meter was not reached); 2 for a bad command line.

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dravik_view.h"
#include "serial_layer.h"
#include "standard_descriptors_linux.h"

namespace {

struct Options {
    std::string port;
    bool noMeter = false;
    std::string png;
    bool hold = false;
};

// Exactly one of --port and --no-meter.
bool ParseOptions(int argc, char* argv[], Options& options) {
    CLI::App app;
    app.set_help_flag();
    CLI::Option* port = app.add_option("--port", options.port);
    app.add_flag("--no-meter", options.noMeter)->excludes(port);
    app.add_option("--png", options.png);
    app.add_flag("--hold", options.hold);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError&) {
        return false;
    }
    return options.noMeter != !options.port.empty();
}

void Print(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

QString WindowId(const QWidget* window) {
    return QStringLiteral("0x") + QString::number(window->winId(), 16);
}

// A picture of the widget as it is drawn now; false when the file could not be written.
bool Save(QWidget* widget, const QString& file) {
    if (file.isEmpty()) return true;
    if (widget->grab().save(file, "PNG")) {
        Print(QStringLiteral("PNG ") + file);
        return true;
    }
    std::fprintf(stderr, "dravik-demo: cannot write %s\n", file.toLocal8Bit().constData());
    return false;
}

constexpr std::array<const char*, kChannelCount> kDemoLevels = {"0.35", "-1.2", "0.5", "2.25"};

}  // namespace

int main(int argc, char* argv[]) {
    KeepStandardDescriptorsOpen();
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(
            "usage: dravik-demo --port PATH [--png FILE] [--hold]\n"
            "       dravik-demo --no-meter [--png FILE] [--hold]\n",
            stderr);
        return 2;
    }
    CloseDialogsOnInterrupts();
    QApplication app(argc, argv);
    QApplication::setWindowIcon(AppIcon());

    const std::wstring port = QString::fromLocal8Bit(options.port.c_str()).toStdWString();
    const QString png = QString::fromLocal8Bit(options.png.c_str());
    CDravikView view(PlatformSerialLayer(), [port](std::vector<PortInfo>& list) {
        if (!port.empty()) list.push_back({port, L""});
    });
    int status = 0;

    const auto finish = [&](QWidget* pictured) {
        if (!Save(pictured, png)) status = 1;
        if (options.hold) {
            Print(QStringLiteral("READY window=") + WindowId(pictured));
        } else {
            pictured->close();
            view.close();
        }
    };

    // Message boxes run modally inside the SET handler; catch each once it is up. Without a
    // meter the box is the picture; otherwise it is printed and dismissed, so that a meter that
    // went missing cannot leave the demonstration waiting for an operator.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &view, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        Print(QStringLiteral("MESSAGE caption=") + box->windowTitle() + QStringLiteral(" text=") +
              box->text());
        if (options.noMeter) {
            watch.stop();
            finish(box);
        } else {
            status = 1;
            box->accept();
        }
    });
    watch.start(20);

    if (options.noMeter) {
        QTimer::singleShot(0, &view,
                           [&] { view.findChild<QPushButton*>(QStringLiteral("set0"))->click(); });
    } else {
        for (int k = 0; k < kChannelCount; ++k) {
            view.findChild<QLineEdit*>(QStringLiteral("edit%1").arg(k))
                ->setText(QString::fromLatin1(kDemoLevels[static_cast<std::size_t>(k)]));
        }
    }
    // One SET per turn of the event loop, so the window repaints between presses.
    std::function<void(int)> press = [&](int k) {
        if (k == kChannelCount) {
            finish(&view);
            return;
        }
        view.findChild<QPushButton*>(QStringLiteral("set%1").arg(k))->click();
        Print(QStringLiteral("STATUS ") + view.StatusText());
        QTimer::singleShot(0, &view, [&press, k] { press(k + 1); });
    };
    if (!options.noMeter) QTimer::singleShot(0, &view, [&press] { press(0); });

    view.exec();
    return InterruptedStatus() != 0 ? InterruptedStatus() : status;
}
