// One test program per room of the window: each test class of a room registers itself with
// VELQUOR_ROOM_TEST(Class) in place of QTEST_MAIN, and the room's program (room_main.cpp) runs
// every class in turn under one QApplication, or only the class its first argument names:
// `app_main_window_tests LayoutTest [QtTest options and test functions]`.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

namespace velquor::testing {

using RoomTestFactory = std::function<std::unique_ptr<QObject>()>;

// Adds a test class to the program's room; the value only lets a namespace-scope constant
// call it before main.
bool registerRoomTest(const char* name, RoomTestFactory factory);

}  // namespace velquor::testing

#define VELQUOR_ROOM_TEST(TestClass)                                                          \
    namespace {                                                                               \
    [[maybe_unused]] const bool registered##TestClass = ::velquor::testing::registerRoomTest( \
        #TestClass, [] { return std::unique_ptr<QObject>(new TestClass); });                  \
    }
