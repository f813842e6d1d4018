// corvane-ini: the settings-file operations of the setup, for support engineers and scripts.
//
//   corvane-ini get FILE KEY [DEFAULT]              the first KEY=… line anywhere in FILE
//   corvane-ini get-group FILE GROUP/KEY [DEFAULT]  KEY inside [GROUP]
//   corvane-ini set FILE GROUP/KEY VALUE            writes KEY=VALUE into [GROUP]; FILE must exist
//
// A lookup prints the value found (or DEFAULT, empty when not given) alone on standard output and
// exits 0. A set prints nothing on standard output and exits 0 when the file was written, 1 when
// it was not. The library's own lines ("File updated successfully", "Failed to read the file", …)
// go to standard error so that standard output holds the value only. Wrong usage exits 2.
// A set takes the writers' lock FILE.lock exactly as the setup does, so scripts, the setup and
// Corvane never lose each other's keys; it gives up (exit 1) when the lock stays taken.
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "setup/reg_editer.h"

namespace {

constexpr int kUsageError = 2;

void printUsage(std::ostream& out) {
    out << "usage: corvane-ini get FILE KEY [DEFAULT]\n"
           "       corvane-ini get-group FILE GROUP/KEY [DEFAULT]\n"
           "       corvane-ini set FILE GROUP/KEY VALUE\n";
}

int usageError(std::string_view message) {
    std::cerr << "corvane-ini: " << message << "\n";
    printUsage(std::cerr);
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        printUsage(std::cout);
        return 0;
    }
    if (args.empty()) {
        return usageError("missing command");
    }

    corvane::platform::setLogSink([](std::string_view line) {
        std::cerr << line << '\n';
        std::cerr.flush();
    });

    const std::string& command = args[0];
    if (command == "get" || command == "get-group") {
        if (args.size() != 3 && args.size() != 4) {
            return usageError(command + " takes FILE, " + (command == "get" ? "KEY" : "GROUP/KEY") +
                              " and an optional DEFAULT");
        }
        const std::string defaultValue = args.size() == 4 ? args[3] : std::string();
        const std::string value =
            command == "get"
                ? corvane::RegEditer::getIniValue(args[2], defaultValue, args[1])
                : corvane::RegEditer::getIniValueWithGroup(args[2], defaultValue, args[1]);
        std::cout << value << '\n';
        std::cout.flush();
        return std::cout ? 0 : 1;
    }
    if (command == "set") {
        if (args.size() != 4) {
            return usageError("set takes FILE, GROUP/KEY and VALUE");
        }
        return corvane::RegEditer::setIniValueWithGroup(args[2], args[3], args[1]) ? 0 : 1;
    }
    return usageError("unknown command '" + command + "'");
}
