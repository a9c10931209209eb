// SPDX-License-Identifier: Apache-2.0
// walk_pass.h - one pass of the structure walker over one job's byte range:
// the stack of open parts (frames) and the table of active boundaries.
//
// Every line is first checked against the table of active boundaries (a
// hash lookup, so a hundred thousand enclosing boundaries cost no more than
// one); only a line that is no delimiter reaches the innermost open part.
// Nothing here recurses: nesting lives in the frame stack, further readings
// in the walker's job queue. The pass reads under its job's ClientRules and
// asks the walker to read again where another rule set decides a point it
// meets differently: the whole range again for a lone CR (it moves every
// line, so every enclosing part) or a header line of blanks alone (it moves
// where a multipart's delimiters begin to count), the part alone for a
// header line without a colon or a NUL in a field value (they change only
// how that part is read, not where it ends).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "client_reading/binary_text.h"
#include "client_reading/structure_walker.h"

namespace tarnwick::client_reading {

// isMessageContainerType - a type whose body is a message of its own.
bool isMessageContainerType(const std::string& type);

// WalkPass - one job: the frame stack and boundary table of one pass.
class WalkPass {
  public:
    WalkPass(StructureWalker& walker, WalkJob& job)
        : walker_(walker),
          job_(job),
          rules_(job.rules != nullptr ? *job.rules : clientRuleSets().front()) {}
    void run();

  private:
    enum class Kind { Header, Multipart, Message, Leaf, Drain };

    // LeafOutput - where the decoded bytes of one leaf go.
    struct LeafOutput final : public codec::ByteSink {
        std::unique_ptr<LeafSink> attachment;
        std::unique_ptr<BinaryInText> binaryText;  // a text leaf, written if binary
        std::unique_ptr<EmbeddedBlockScanner> scanner;
        std::unique_ptr<SpillFile> container;
        SpillFile* fragments = nullptr;
        std::unique_ptr<codec::Decoder> decoder;
        // Set when the leaf is checked against a file of the first
        // reading: the attachment then gets its bytes from that check.
        AgreedLeafDecoder* agreement = nullptr;
        // Set when a text body is decoded only if its bytes may matter.
        QuietTextDecoder* quiet = nullptr;
        // The leaf's own decoder when it decodes every byte itself: it
        // tells whether base64 went on after its padding.
        const codec::Decoder* plain = nullptr;
        void write(const char* data, std::size_t size) override {
            if (attachment != nullptr && agreement == nullptr)
                attachment->write(data, size);
            if (binaryText != nullptr)
                binaryText->write(data, size);
            if (scanner != nullptr)
                scanner->write(data, size);
            if (container != nullptr)
                container->append(data, size);
            if (fragments != nullptr)
                fragments->append(data, size);
        }
    };

    struct Frame {
        Kind kind = Kind::Header;
        std::uint64_t partBegin = 0;
        int depth = 0;
        std::string defaultType = "text/plain";
        std::size_t forcedReading = 0;
        std::unique_ptr<HeaderBlock> header;
        bool sawHeaderLine = false;
        bool sawFirstLine = false;
        std::vector<PartReading> readings;
        std::size_t chosen = 0;
        bool named = false;
        std::string fileName;  // the part's own, for the log lines
        std::string boundary;  // registered in the table while open
        std::uint64_t bodyBegin = 0;
        bool split = false;  // a delimiter of its own boundary was met
        bool digest = false;
        std::vector<std::string> watched;  // other readings' boundaries
        std::vector<bool> watchSeen;
        std::unique_ptr<LeafOutput> leaf;
        std::string pendingLineEnd;                  // belongs to a delimiter, if one follows
        bool presetReadings = false;                 // readings given by the job, not a header
        std::vector<PartReading> containerReadings;  // of a decoded container
        bool fragment = false;
        // Rule sets that decide a point of this part's header otherwise:
        // each reads the part again once it has ended.
        std::vector<const ClientRules*> forks;
    };

    struct BoundaryEntry {
        std::vector<std::size_t> frames;  // frames whose delimiter this is
        std::vector<std::pair<std::size_t, std::size_t>> watchers;  // frame, watch index
    };

    void pushFrame(std::uint64_t partBegin, int depth, std::string defaultType);
    bool matchDelimiter(const Line& line, std::size_t& frameIndex, bool& close);
    void lookUp(const std::string& boundary, bool close, std::size_t& best, bool& bestClose);
    void onDelimiter(std::size_t frameIndex, bool close);
    void dispatch(const Line& line);
    void endHeader(std::uint64_t bodyOffset);
    void applyReading(const PartReading& reading, std::uint64_t bodyOffset);
    void feedLeaf(Frame& frame, const Line& line);
    void closeTop(bool byDelimiter, std::uint64_t contentEnd);
    void finishLeaf(Frame& frame, std::uint64_t partEnd);
    void scheduleOtherReadings(const Frame& frame, std::uint64_t partEnd);
    // metAmbiguity - frame's header holds point: every rule set that decides
    // it otherwise reads the part again (noted in frame.forks).
    void metAmbiguity(Frame& frame, Ambiguity point);
    // forkPart - the readings frame.forks asks for, of [partBegin, partEnd).
    void forkPart(const Frame& frame, std::uint64_t partEnd);
    // forkRange - the whole range of the job again, from rangeBegin, under
    // each rule set that decides point otherwise.
    void forkRange(Ambiguity point, std::uint64_t rangeBegin);
    // feedLeafRuns - while the top frame is a leaf, feeds it the lines that
    // cannot be delimiters in runs as long as the input buffer holds.
    void feedLeafRuns();
    void drainLine();
    // blanksOnlyToLineEnd - consumes the rest of the current line while it
    // holds only blanks; true when it ends so. What was consumed of a line
    // that holds more is kept in replay_ for dispatch.
    bool blanksOnlyToLineEnd();
    // feedReplay - hands what blanksOnlyToLineEnd consumed to sink.
    template <typename Sink>
    void feedReplay(Sink&& sink);

    StructureWalker& walker_;
    WalkJob& job_;
    const ClientRules& rules_;
    std::unique_ptr<LineInput> input_;
    std::vector<Frame> frames_;
    std::unordered_map<std::string, BoundaryEntry> boundaries_;
    std::uint64_t previousContentEnd_ = 0;
    std::string replay_;
    std::uint64_t replaySpaces_ = 0;
    bool blanksLineMet_ = false;  // a header line of blanks alone
};

}  // namespace tarnwick::client_reading
