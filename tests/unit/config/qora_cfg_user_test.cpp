// qora-cfg user add|remove|list, run as a process: the password from a pipe and from a
// pseudo-terminal (no echo, asked twice), never on the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <string>

#include "ua/security/users.h"

namespace {

struct ToolRun {
    int exitCode = -1;
    QByteArray out, err;
};

ToolRun RunTool(const QStringList& args, const QByteArray& input = {}, bool closeInput = true) {
    QProcess p;
    p.start(QStringLiteral(QORA_CFG_TOOL), args);
    ToolRun r;
    if (!p.waitForStarted(10000)) return r;
    p.write(input);
    if (closeInput) p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

std::string Record(const QString& file, const std::string& name) {
    qora::ua::UsersText text;
    std::string error;
    if (!qora::ua::ReadUsersFile(file.toStdString(), text, &error)) return {};
    return text.Record(name).value_or(std::string());
}

// The tool with a pseudo-terminal as its controlling terminal and standard streams. Each answer
// is typed once the prompt before it has appeared on the terminal.
struct PtyRun {
    int exitCode = -1;
    std::string screen;  // everything the terminal showed
};

PtyRun RunOnTerminal(const std::vector<std::string>& args,
                     const std::vector<std::pair<std::string, std::string>>& dialog) {
    PtyRun r;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return r;
    const std::string slaveName = ::ptsname(master);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QORA_CFG_TOOL));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int slave = ::open(slaveName.c_str(), O_RDWR);
        if (slave < 0) ::_exit(127);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        ::close(master);
        ::execv(QORA_CFG_TOOL, argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto readSome = [&] {
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0 && (pfd.revents & POLLIN) != 0) {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) r.screen.append(buf, static_cast<size_t>(n));
            return n > 0;
        }
        return (pfd.revents & (POLLHUP | POLLERR)) == 0;
    };
    size_t seen = 0;
    for (const auto& [prompt, answer] : dialog) {
        size_t at = std::string::npos;
        while ((at = r.screen.find(prompt, seen)) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            if (!readSome()) break;
        if (at == std::string::npos) break;
        seen = at + prompt.size();
        const std::string line = answer + "\n";
        (void)::write(master, line.data(), line.size());
    }
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        readSome();
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            while (readSome()) {
            }
            r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
    }
    if (r.exitCode == -1) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(master);
    return r;
}

}  // namespace

TEST(QoraCfgUser, AddFromAPipeListRemoveAndTheFileKeepsOnlyHashes) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("users.ini"));
    const QString f = file;

    ToolRun r = RunTool({"user", "add", f, "operator"}, "s3cret-Пароль\n");
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    r = RunTool({"user", "add", f, "Инженер"}, "other\r\n");  // CR LF from a Windows pipe
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(qora::ua::VerifyPassword(Record(file, "operator"), "s3cret-Пароль"));
    EXPECT_FALSE(qora::ua::VerifyPassword(Record(file, "operator"), "s3cret-Пароль\n"));
    EXPECT_TRUE(qora::ua::VerifyPassword(Record(file, "Инженер"), "other"));
    QFile raw(file);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    EXPECT_FALSE(bytes.contains("s3cret")) << bytes.toStdString();
    EXPECT_FALSE(bytes.contains("other"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    r = RunTool({"user", "list", f});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.toStdString(), "operator\nИнженер\n");

    // add again replaces the password.
    r = RunTool({"user", "add", f, "operator"}, "new\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(qora::ua::VerifyPassword(Record(file, "operator"), "new"));

    r = RunTool({"user", "remove", f, "operator"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(RunTool({"user", "list", f}).out.toStdString(), "Инженер\n");
}

TEST(QoraCfgUser, RefusalsAndFailuresHaveTheirExitStatusAndLeaveTheFileAlone) {
    QTemporaryDir dir;
    const QString f = dir.filePath(QStringLiteral("users.ini"));
    ASSERT_EQ(RunTool({"user", "add", f, "operator"}, "pw\n").exitCode, 0);
    QFile raw(f);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray before = raw.readAll();
    raw.close();
    struct {
        QStringList args;
        QByteArray input;
        int exitCode;
    } cases[] = {
        {{"user", "add", f, "a=b"}, "pw\n", 2},
        {{"user", "add", f, ""}, "pw\n", 2},
        {{"user", "add", f, " x"}, "pw\n", 2},
        {{"user", "add", f, "new"}, "\n", 2},  // empty password
        {{"user", "add", f, "new"}, "", 2},    // nothing on standard input
        {{"user", "remove", f, "nobody"}, "", 2},
        {{"user", "add", f}, "", 1},
        {{"user", "add", f, "x", "pw"}, "", 1},  // a password on the command line is no usage
        {{"user", "rename", f, "x"}, "", 1},
        {{"user"}, "", 1},
        {{"user", "add", dir.filePath("missing/users.ini"), "x"}, "pw\n", 1},
    };
    for (const auto& c : cases) {
        const ToolRun r = RunTool(c.args, c.input);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_FALSE(r.err.isEmpty()) << c.args.join(' ').toStdString();
    }
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    EXPECT_EQ(raw.readAll(), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"users.ini"});
}

TEST(QoraCfgUser, OnATerminalThePasswordIsAskedTwiceAndNeverEchoed) {
    QTemporaryDir dir;
    const std::string f = dir.filePath(QStringLiteral("users.ini")).toStdString();
    const PtyRun ok = RunOnTerminal({"user", "add", f, "operator"},
                                    {{"Пароль: ", "Tty-Secret-1"}, {"Пароль ещё раз: ", "Tty-Secret-1"}});
    EXPECT_EQ(ok.exitCode, 0) << ok.screen;
    EXPECT_EQ(ok.screen.find("Tty-Secret"), std::string::npos) << ok.screen;
    EXPECT_TRUE(qora::ua::VerifyPassword(Record(QString::fromStdString(f), "operator"), "Tty-Secret-1"));

    const PtyRun mismatch = RunOnTerminal({"user", "add", f, "engineer"},
                                          {{"Пароль: ", "first-try"}, {"Пароль ещё раз: ", "second-try"}});
    EXPECT_EQ(mismatch.exitCode, 2) << mismatch.screen;
    EXPECT_NE(mismatch.screen.find("не совпадают"), std::string::npos) << mismatch.screen;
    EXPECT_EQ(mismatch.screen.find("-try"), std::string::npos) << mismatch.screen;
    EXPECT_EQ(Record(QString::fromStdString(f), "engineer"), "");
}
