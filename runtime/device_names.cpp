// SPDX-License-Identifier: Apache-2.0
// device_names.cpp - which paths Windows takes for devices rather than files.
//
// A mail server that names "NUL", "COM1.txt" or "\\.\pipe\x" must not get
// the filter to open a device: reading it may never end or never begin.
// These are text rules only, so both backends compile them and the tests run
// them on every platform; only the Windows backend acts on them. They err on
// the side of "device": such a path is answered as a missing file.
#include <array>
#include <cctype>
#include <string_view>

#include "runtime/platform.h"

namespace tarnwick::platform::detail {

namespace {

// Names Windows reserves for devices in every folder. The numbered ones come
// with the digits 0 to 9 and, in either the ANSI or the UTF-8 form of the
// path, the superscript digits one to three.
constexpr std::array<std::string_view, 6> kPlainDeviceNames = {"CON", "PRN",    "AUX",
                                                               "NUL", "CONIN$", "CONOUT$"};
constexpr std::array<std::string_view, 2> kNumberedDevicePrefixes = {"COM", "LPT"};
constexpr std::array<std::string_view, 6> kSuperscriptDigits = {"\xB9",     "\xB2",     "\xB3",
                                                                "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

// isSeparator - either kind of path separator.
bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

// equalsIgnoringCase - ASCII case-insensitive equality.
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// startsWithIgnoringCase - ASCII case-insensitive prefix test.
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// isReservedBaseName - the part of a file name before its extension, trailing
// blanks removed, is one of the reserved device names.
bool isReservedBaseName(std::string_view base) {
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view name : kPlainDeviceNames) {
        if (equalsIgnoringCase(base, name))
            return true;
    }
    for (std::string_view prefix : kNumberedDevicePrefixes) {
        if (!startsWithIgnoringCase(base, prefix))
            continue;
        const std::string_view number = base.substr(prefix.size());
        if (number.size() == 1 && number[0] >= '0' && number[0] <= '9')
            return true;
        for (std::string_view digit : kSuperscriptDigits) {
            if (number == digit)
                return true;
        }
    }
    return false;
}

// goesIntoDeviceNamespace - \\.\ or \\?\ followed by something other than a
// drive ("C:"), a share ("UNC\") or a volume ("Volume{...}\"): a pipe, a
// console, a disk or port as a whole.
bool goesIntoDeviceNamespace(std::string_view path) {
    if (path.size() < 4 || !isSeparator(path[0]) || !isSeparator(path[1]) ||
        (path[2] != '.' && path[2] != '?') || !isSeparator(path[3]))
        return false;
    const std::string_view rest = path.substr(4);
    const bool drive = rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) &&
                       rest[1] == ':' && (rest.size() == 2 || isSeparator(rest[2]));
    const bool share =
        startsWithIgnoringCase(rest, "UNC") && rest.size() > 3 && isSeparator(rest[3]);
    const bool volume = startsWithIgnoringCase(rest, "Volume{");
    return !(drive || share || volume);
}

}  // namespace

bool namesWindowsDevice(const std::string& path) {
    if (goesIntoDeviceNamespace(path))
        return true;
    std::string_view name = path;
    const std::size_t lastSeparator = name.find_last_of("\\/");
    if (lastSeparator != std::string_view::npos)
        name.remove_prefix(lastSeparator + 1);
    else if (name.size() >= 2 && name[1] == ':')
        name.remove_prefix(2);  // "C:NUL": a name relative to a drive's folder
    // "NUL.txt", "NUL.tar.gz" and "COM1:" are the devices themselves.
    return isReservedBaseName(name.substr(0, name.find_first_of(".:")));
}

}  // namespace tarnwick::platform::detail
