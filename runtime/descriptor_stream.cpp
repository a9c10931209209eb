// SPDX-License-Identifier: Apache-2.0
// descriptor_stream.cpp - an output stream straight onto a standard
// descriptor, through the platform layer's writes.
#include "runtime/descriptor_stream.h"

#include <cstring>

#include "runtime/platform.h"

namespace tarnwick {

DescriptorBuffer::DescriptorBuffer(int descriptor) : descriptor_(descriptor) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

DescriptorBuffer::~DescriptorBuffer() {
    drain();
}

// overflow - the buffer is full: writes it, then takes character.
DescriptorBuffer::int_type DescriptorBuffer::overflow(int_type character) {
    if (!drain())
        return traits_type::eof();
    if (traits_type::eq_int_type(character, traits_type::eof()))
        return traits_type::not_eof(character);
    *pptr() = traits_type::to_char_type(character);
    pbump(1);
    return character;
}

int DescriptorBuffer::sync() {
    return drain() ? 0 : -1;
}

bool DescriptorBuffer::drain() {
    const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return size == 0 || platform::writeDescriptor(descriptor_, buffer_.data(), size);
}

DescriptorStream::DescriptorStream(int descriptor) : std::ostream(nullptr), buffer_(descriptor) {
    rdbuf(&buffer_);
}

DescriptorStream::~DescriptorStream() {
    flush();
}

bool writeStandardOutput(const char* text) {
    return platform::writeDescriptor(1, text, std::strlen(text));
}

}  // namespace tarnwick
