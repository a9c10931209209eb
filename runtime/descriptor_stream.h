// SPDX-License-Identifier: Apache-2.0
// descriptor_stream.h - an output stream straight onto a standard descriptor,
// for programs that are started once per message.
//
// The standard library's own console streams are set up by a constructor
// that runs before main in every program that includes <iostream>, whether
// or not it prints: most of what `tarnwick-unpack --version` did once the
// loader was done. A program that needs only to write its output builds one
// of these instead, when and if it writes. The bytes are those the console
// streams would have written (on Windows the descriptor's text mode turns
// LF into CR LF as before). Not for use by several threads at once.
#pragma once

#include <array>
#include <ostream>
#include <streambuf>

namespace tarnwick {

// DescriptorBuffer - buffers what is written and hands it to
// platform::writeDescriptor when full, on flush and when destroyed. A
// failed write makes the stream report failure, as a closed console does.
class DescriptorBuffer : public std::streambuf {
  public:
    explicit DescriptorBuffer(int descriptor);
    ~DescriptorBuffer() override;
    DescriptorBuffer(const DescriptorBuffer&) = delete;
    DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;

  protected:
    int_type overflow(int_type character) override;
    int sync() override;

  private:
    // drain - writes what is buffered; false when the write failed.
    bool drain();

    int descriptor_;
    std::array<char, 4096> buffer_{};
};

// DescriptorStream - an std::ostream over its own DescriptorBuffer.
class DescriptorStream : public std::ostream {
  public:
    explicit DescriptorStream(int descriptor);
    ~DescriptorStream() override;

  private:
    DescriptorBuffer buffer_;
};

// writeStandardOutput - text to standard output at once, without any stream
// (for --help and --version, before anything else is made); false when the
// write failed.
bool writeStandardOutput(const char* text);

}  // namespace tarnwick
