// qora-cfg: reads and writes configuration files with the program's own reader and writer.
//
//   qora-cfg dump FILE        print the configuration as JSON
//   qora-cfg resave IN OUT    load IN and save it as OUT
//   qora-cfg create OUT       write a configuration from the JSON on standard input
//   qora-cfg user add FILE NAME | user remove FILE NAME | user list FILE
//                             the endpoint's users file (password on standard input)
//
// Exit status: 0 done; 1 wrong usage or a file that cannot be opened or created; 2 a file that
// is not an acceptable configuration, or JSON that does not describe one.
#include <QFile>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "config/config_file.h"
#include "tools/cfg/cfg_json.h"
#include "tools/cfg/user_command.h"

namespace {

using qora::TConfigModel;
using ModelPtr = std::unique_ptr<TConfigModel, qora::ModelDeleter>;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;

void Err(const QString& text) {
    std::cerr << text.toStdString() << '\n';
}

int Usage() {
    std::cerr << "usage: qora-cfg dump FILE\n"
                 "       qora-cfg resave IN OUT\n"
                 "       qora-cfg create OUT   (JSON on standard input)\n"
                 "       qora-cfg user add|remove FILE NAME | user list FILE\n";
    return kExitFailure;
}

// Loads path into model; returns the exit status of a failure, or -1 when loaded.
int Load(const QString& path, TConfigModel& model) {
    const qora::TConfigReadResult r = qora::ReadConfigFile(path, model);
    if (r.ok()) return -1;
    Err(r.message);
    return r.status == qora::TConfigReadResult::Status::Refused ? kExitRefused : kExitFailure;
}

int Save(const QString& path, const TConfigModel& model) {
    const qora::TConfigWriteResult w = qora::WriteConfigFile(path, model);
    if (w.ok) return kExitOk;
    Err(w.error);
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    if (command == "user") return qora::cfgtool::RunUserCommand(argc - 2, argv + 2);
    ModelPtr model(qora::CreateModel());
    if (command == "dump" && argc == 3) {
        if (int st = Load(QFile::decodeName(argv[2]), *model); st >= 0) return st;
        std::cout << qora::cfgtool::ToJson(*model) << '\n';
        return std::cout.good() ? kExitOk : kExitFailure;
    }
    if (command == "resave" && argc == 4) {
        if (int st = Load(QFile::decodeName(argv[2]), *model); st >= 0) return st;
        return Save(QFile::decodeName(argv[3]), *model);
    }
    if (command == "create" && argc == 3) {
        const std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        QString error;
        if (!qora::cfgtool::FromJson(QByteArray::fromStdString(input), *model, error)) {
            Err(error);
            return kExitRefused;
        }
        return Save(QFile::decodeName(argv[2]), *model);
    }
    return Usage();
}
