// SPDX-License-Identifier: Apache-2.0
// binary_text_test.cpp - every byte value at every place of a word (eight
// bytes are tested together) among plain and high bytes: binary exactly for
// the control bytes text never carries.
#include <gtest/gtest.h>

#include <string>

#include "client_reading/binary_text.h"

namespace tarnwick::client_reading {
namespace {

TEST(BinaryTextTest, EachControlByteIsFoundAtEveryPlaceAmongTextAndHighBytes) {
    for (int value = 0; value < 256; ++value) {
        const bool control = value < 0x20 && value != '\t' && value != '\n' && value != '\v' &&
                             value != '\f' && value != '\r' && value != 0x1b;
        for (const char filler : {'a', '\xe9', '\x80'})
            for (std::size_t place = 0; place < 19; ++place) {
                std::string text(19, filler);
                text[place] = static_cast<char>(value);
                EXPECT_EQ(looksBinary("ok " + text, false), control) << value << " at " << place;
            }
    }
}

}  // namespace
}  // namespace tarnwick::client_reading
