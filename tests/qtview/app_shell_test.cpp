// The Linux program as started from a desktop or a shell: it has no command line, so nothing on
// it may reach the toolkit.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QTest>
#include <csignal>
#include <cstring>
#include <string>

#include "dravik_version.h"
#include "qtview_support.h"
#include "scoped_env.h"
#include "sim_process.h"
#include "uucp_lock_linux.h"

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

// --help and --version answer on standard output and end the program before Qt starts: with a
// platform that does not exist, a started QApplication would abort instead. help2man reads the
// version from "<name> (<package>) <version>" and the synopsis from the "Usage:" line.
TEST(AppShell, HelpAndVersionAnswerWithoutStartingQt) {
    struct Case {
        QStringList args;
        QByteArray firstLine;
    };
    const Case cases[] = {
        {{QStringLiteral("--version")}, "Dravik (Z9M4-SET) " DRAVIK_VERSION},
        {{QStringLiteral("-reverse"), QStringLiteral("--version")},
         "Dravik (Z9M4-SET) " DRAVIK_VERSION},
        {{QStringLiteral("--help")}, "Usage: Dravik [--help | --version]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess dravik;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("nonexistent"));
        dravik.setProcessEnvironment(environment);
        dravik.start(QString::fromStdString(BinDir() + "/Dravik"), c.args);
        ASSERT_TRUE(dravik.waitForFinished(kEventWaitLimitMs));
        EXPECT_EQ(dravik.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(dravik.exitCode(), 0);
        EXPECT_EQ(dravik.readAllStandardError(), QByteArray());
        const QByteArray output = dravik.readAllStandardOutput();
        EXPECT_EQ(output.left(output.indexOf('\n')), c.firstLine) << output.toStdString();
    }
}

// SIGINT, SIGTERM, SIGHUP or SIGQUIT (a Ctrl-C, a logout) close the dialog as EXIT would: the
// port that it holds open is left as it was found (settings, exclusive mode, no lock file). The
// real dialog, driven by dravik-demo, which holds it open after its SETs.
TEST(AppShell, AnInterruptClosesTheDialogAndLeavesTheLineAsFound) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(::strsignal(signal));
        MeterSimProcess sim;
        ASSERT_TRUE(sim.Started());
        const int line = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(line, 0);
        MakeCooked(line);
        const LineSnapshot before = SnapshotLine(line, line);

        const ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
        const int demo = StartProgram("dravik-demo", {"--port", sim.DevicePath(), "--hold"});
        ASSERT_GT(demo, 0);
        // The four SETs answered: the dialog holds the port open.
        ASSERT_TRUE(sim.WaitForLines("REPLY set", 4));
        ::kill(demo, signal);
        const int status = WaitForProgram(demo);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        ExpectSameLine(before, SnapshotLine(line, line));
        const std::string lock = std::string(kSystemLockDir) + "/" + UucpLockName(sim.DevicePath());
        EXPECT_NE(::access(lock.c_str(), F_OK), 0) << lock;
        ::close(line);
    }
}

}  // namespace
