// One QApplication for a test program on Qt's offscreen platform, made on first use and ended by
// the test environment's tear-down, before the program's own exit (a QApplication left to static
// destruction outlives parts of Qt and crashes there).
#pragma once

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace appkit_test {

class QtTestApplication final : public ::testing::Environment
{
public:
    static QApplication& get()
    {
        if (!instance()) {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            instance() = std::make_unique<QApplication>(argc(), argv());
        }
        return *instance();
    }
    void TearDown() override { instance().reset(); }

private:
    static std::unique_ptr<QApplication>& instance()
    {
        static std::unique_ptr<QApplication> application;
        return application;
    }
    static int& argc()
    {
        static int count = 1;
        return count;
    }
    static char** argv()
    {
        static char name[] = "qt-test";
        static char* arguments[] = {name, nullptr};
        return arguments;
    }
};

// Registered once per test program that includes this header.
inline ::testing::Environment* const kQtTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtTestApplication());

} // namespace appkit_test
