// SPDX-License-Identifier: Apache-2.0
// decoder_variants_test.cpp - the points the lenient decoders report and the
// other decoder families' readings of them. The expected bytes are what the
// parsers of each family gave for these bodies; each body is decoded whole
// and one byte at a time.
#include <gtest/gtest.h>

#include <string>

#include "codec/decoder_variants.h"

namespace tarnwick::codec {
namespace {

struct Collect final : ByteSink {
    std::string bytes;
    void write(const char* data, std::size_t size) override { bytes.append(data, size); }
};

template <typename Make>
std::string decode(Make make, const std::string& body, bool byteByByte, unsigned* points) {
    Collect sink;
    const std::unique_ptr<Decoder> decoder = make(sink);
    if (byteByByte) {
        for (char c : body)
            decoder->feed(&c, 1);
    } else {
        decoder->feed(body.data(), body.size());
    }
    decoder->finish();
    if (points != nullptr)
        *points = decoder->metPoints();
    return sink.bytes;
}

struct Case {
    bool base64;
    std::string body;
    unsigned points;  // met by the lenient decoder
    // Expected per variant, in kDecodeVariants order, of the body's encoding
    // (four base64 or three quoted-printable ones).
    std::string variants[4];
};

const Case kCases[] = {
    {true, "QUJDRA==\n", 0, {"ABCD", "ABCD", "ABCD", "ABCD"}},
    {true, "QUI=QUJD", kBase64DataAfterPadding, {"AB\x10P\x90", "AB", "ABABC", "AB"}},
    {true, "QQ==QUJD", kBase64DataAfterPadding, {"A\x04\x14$", "A", "AABC", "A"}},
    {true, "QUJDRA", kBase64ShortLastGroup, {"ABCD", "ABC", "ABCD", "ABCD"}},
    {true,
     "=QUJD\nQ=UJD",
     kBase64EqualsFirst | kBase64EqualsSecond,
     {"ABCABC", "", "ABCP\x90", "ABCABC"}},
    {true,
     "QUJDRA\nQUJD",
     kBase64ShortLastGroup,
     {"ABCD\x04\x14$", "ABCD\x04\x14", "ABCD\x04\x14$", "ABCD\x04\x14$"}},
    {true, "QQ=QUJDRA==", kBase64DataAfterPadding, {"A\x04\x14$4@", "A", "AABCD", "A\x04\x14$4@"}},
    {false, "plain =3D text\n", 0, {"plain = text\n", "plain = text\n", "plain = text\n"}},
    {false,
     "a ==41 b\nc ===42 d==",
     kQpEqualsEquals,
     {"a ==41 b\nc ===42 d", "a =A b\nc ==B d==", "a =A b\nc ==B d="}},
    {false,
     "first half= \nsecond half=\t\nend =3D value",
     kQpBlanksSoftBreak,
     {"first half= \nsecond half=\t\nend = value", "first halfsecond halfend = value",
      "first halfsecond halfend = value"}},
    {false,
     "trail  \nx=\ny =4\nz=4",
     kQpTrailingBlanks | kQpMalformedEscape | kQpCutEscape,
     {"trail  \nxy =4\nz", "trail\nxy =4\nz=4", "trail\nxy =4\nz=4"}},
    {false,
     "a=3d=3D=a=\n=0A=0a= =\ne=4=41",
     kQpMalformedEscape,
     {"a===a=\n\n\n= =\ne=4=41", "a===a\n\n= e=4A", "a===a\n\n= e=4A"}},
    {false,
     "x= \r\na ==41\r\nb\r",
     kQpBlanksSoftBreak | kQpEqualsEquals,
     {"x= \r\na ==41\r\nb\r", "xa =A\nb\r", "xa =A\r\nb\r"}},
    {false, "d == ", kQpEqualsEquals | kQpCutEscape, {"d == ", "d == ", "d ="}},
};

TEST(DecoderVariants, FamiliesReadThePointsAsTheirParsersDo) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.body);
        unsigned points = ~0U;
        const TransferEncoding encoding =
            c.base64 ? TransferEncoding::Base64 : TransferEncoding::QuotedPrintable;
        const auto lenient = [&](ByteSink& sink) { return makeDecoder(encoding, sink); };
        const std::string ours = decode(lenient, c.body, false, &points);
        EXPECT_EQ(points, c.points);
        EXPECT_EQ(decode(lenient, c.body, true, nullptr), ours);
        for (std::size_t k = 0; k < (c.base64 ? 4U : 3U); ++k) {
            const DecodeVariant variant = kDecodeVariants[(c.base64 ? 0 : 4) + k];
            const auto other = [&](ByteSink& sink) { return makeVariantDecoder(variant, sink); };
            const std::string theirs = decode(other, c.body, false, nullptr);
            EXPECT_EQ(theirs, c.variants[k]) << "variant " << k;
            EXPECT_EQ(decode(other, c.body, true, nullptr), theirs) << "variant " << k;
            // A variant that reads no met point otherwise gives the lenient bytes.
            if (!decidesOtherwise(variant, points)) {
                EXPECT_EQ(theirs, ours) << "variant " << k;
            }
        }
    }
}

}  // namespace
}  // namespace tarnwick::codec
