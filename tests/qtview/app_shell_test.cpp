// The Linux program as started from a desktop or a shell: it has no command line, so nothing on
// it may reach the toolkit.

#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>

#include "qtview_support.h"
#include "sim_process.h"

namespace {

// Qt takes options of its own from a program's arguments (-reverse mirrors the dialog, -style
// restyles it). Honoured, "-platform nonexistent" would make Qt abort before any window; ignored,
// the program loads the offscreen platform its environment names.
TEST(AppShell, QtsOwnOptionsNeverReachTheToolkit) {
    QProcess dravik;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                       QStringLiteral("qt.core.library.debug=true"));
    dravik.setProcessEnvironment(environment);
    dravik.setProcessChannelMode(QProcess::MergedChannels);
    dravik.start(
        QString::fromStdString(BinDir() + "/Dravik"),
        {QStringLiteral("-platform"), QStringLiteral("nonexistent"), QStringLiteral("-reverse")});
    ASSERT_TRUE(dravik.waitForStarted(kEventWaitLimitMs));

    const QByteArray offscreenLoaded = "libqoffscreen.so\" loaded library";
    QByteArray output;
    const bool settled = QTest::qWaitFor(
        [&] {
            output += dravik.readAll();
            return output.contains(offscreenLoaded) || dravik.state() == QProcess::NotRunning;
        },
        kEventWaitLimitMs);
    ASSERT_TRUE(settled) << "neither loaded a platform nor ended";
    dravik.kill();
    dravik.waitForFinished(kEventWaitLimitMs);
    EXPECT_TRUE(output.contains(offscreenLoaded)) << output.right(600).toStdString();
}

}  // namespace
