// The main of every room's test program: one QApplication, then each registered class through
// QTest::qExec with the program's arguments; the exit status counts the failed test functions.
#include "room_main.h"

#include <QApplication>
#include <QStringList>
#include <QTest>
#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "app/kit/window/keyboard_access.h"

namespace velquor::testing {
namespace {

std::map<std::string, RoomTestFactory>& roomTests() {
    static std::map<std::string, RoomTestFactory> tests;
    return tests;
}

}  // namespace

bool registerRoomTest(const char* name, RoomTestFactory factory) {
    return roomTests().emplace(name, std::move(factory)).second;
}

}  // namespace velquor::testing

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    // The windows take their Alt keys as the program's do.
    velquor::app::enableKeyboardAccess(application);
    QStringList arguments = QApplication::arguments();
    auto& tests = velquor::testing::roomTests();
    // A first argument naming one of the room's classes runs that class alone.
    auto chosen = tests.end();
    if (arguments.size() > 1) {
        chosen = tests.find(arguments.at(1).toStdString());
        if (chosen != tests.end()) {
            arguments.removeAt(1);
        }
    }
    int failures = 0;
    for (auto it = tests.begin(); it != tests.end(); ++it) {
        if (chosen != tests.end() && it != chosen) {
            continue;
        }
        const std::unique_ptr<QObject> test = it->second();
        const int result = QTest::qExec(test.get(), arguments);
        // qExec answers the failed functions' count, or a negative value for a bad option.
        failures += result < 0 ? 1 : result;
    }
    return std::min(failures, 127);
}
