#include "tools/cfg/user_command.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "ua/security/users.h"

namespace qora::cfgtool {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;

// Reads one line from standard input; false at end of input before any character.
bool ReadLine(std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = std::getchar()) != EOF) {
        any = true;
        if (c == '\n') break;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

// Asks on the terminal with echo off (turned off before the prompt shows, so nothing typed after
// it is echoed); the terminal's mode comes back afterwards.
bool AskHidden(const char* prompt, std::string& out) {
    termios old{};
    const bool tty = ::tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::cerr << prompt << std::flush;
    const bool ok = ReadLine(out);
    if (tty) ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
    return ok;
}

bool ReadPassword(std::string& password) {
    if (!::isatty(STDIN_FILENO)) {
        if (!ReadLine(password)) {
            std::cerr << "пароль не получен: стандартный ввод пуст\n";
            return false;
        }
        return true;
    }
    std::string again;
    if (!AskHidden("Пароль: ", password) || !AskHidden("Пароль ещё раз: ", again)) {
        std::cerr << "ввод пароля прерван\n";
        return false;
    }
    if (password != again) {
        std::cerr << "пароли не совпадают\n";
        return false;
    }
    return true;
}

int Usage() {
    std::cerr << "usage: qora-cfg user add FILE NAME      (password on standard input)\n"
                 "       qora-cfg user remove FILE NAME\n"
                 "       qora-cfg user list FILE\n";
    return kExitFailure;
}

int Load(const std::string& path, ua::UsersText& text) {
    std::string error;
    if (!ua::ReadUsersFile(path, text, &error)) {
        std::cerr << error << '\n';
        return kExitFailure;
    }
    for (const std::string& p : text.Problems()) std::cerr << path << ": " << p << '\n';
    return kExitOk;
}

int Save(const std::string& path, const ua::UsersText& text) {
    std::string error;
    if (ua::WriteUsersFile(path, text, &error)) return kExitOk;
    std::cerr << error << '\n';
    return kExitFailure;
}

}  // namespace

int RunUserCommand(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[0];
    const std::string path = argv[1];
    ua::UsersText text;
    if (command == "list" && argc == 2) {
        if (int st = Load(path, text); st != kExitOk) return st;
        for (const std::string& name : text.Names()) std::cout << name << '\n';
        return std::cout.good() ? kExitOk : kExitFailure;
    }
    if ((command != "add" && command != "remove") || argc != 3) return Usage();
    const std::string name = argv[2];
    if (const std::string why = ua::UserNameProblem(name); !why.empty()) {
        std::cerr << why << '\n';
        return kExitRefused;
    }
    if (int st = Load(path, text); st != kExitOk) return st;
    if (command == "remove") {
        if (!text.Remove(name)) {
            std::cerr << "пользователя «" << name << "» нет в файле " << path << '\n';
            return kExitRefused;
        }
        return Save(path, text);
    }
    std::string password;
    if (!ReadPassword(password)) return kExitRefused;
    if (password.empty()) {
        std::cerr << "пустой пароль не принимается\n";
        return kExitRefused;
    }
    const std::string record = ua::HashPassword(password);
    std::fill(password.begin(), password.end(), '\0');
    if (record.empty()) {
        std::cerr << "не удалось получить случайные байты для соли\n";
        return kExitFailure;
    }
    const bool existed = text.Set(name, record);
    if (int st = Save(path, text); st != kExitOk) return st;
    std::cerr << (existed ? "пароль пользователя «" : "добавлен пользователь «") << name
              << (existed ? "» заменён\n" : "»\n");
    return kExitOk;
}

}  // namespace qora::cfgtool
