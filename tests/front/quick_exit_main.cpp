// SPDX-License-Identifier: Apache-2.0
// quick_exit_main.cpp - test main for executables that leave worker threads
// behind: after the tests it flushes and ends the process at once, as the
// program itself does when its command loop returns, so that no static
// object is torn down under a worker that is still going back to its pool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(result);
}
