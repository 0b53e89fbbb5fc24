// The dialogs need a QApplication; one board and one library object serve
// every test of the program.
#include "shell/application.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    shell::Application app(argc, argv);
    return RUN_ALL_TESTS();
}
