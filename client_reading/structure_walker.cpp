// SPDX-License-Identifier: Apache-2.0
// structure_walker.cpp - the job queue of one reading: the first job over
// the message, the jobs the passes leave, their bounds, and the fragments
// of message/partial joined at the end.
#include "client_reading/structure_walker.h"

#include <algorithm>

#include "client_reading/walk_pass.h"
#include "mailfile/envelope.h"

namespace tarnwick::client_reading {

void Signs::note(const char* name) {
    if (std::find(names_.begin(), names_.end(), name) == names_.end())
        names_.emplace_back(name);
}

void Signs::limit(const char* sign, const char* which) {
    note(sign);
    if (std::find(limits_.begin(), limits_.end(), which) == limits_.end())
        limits_.emplace_back(which);
}

StructureWalker::StructureWalker(ExtraFileSet& files, Signs& signs, std::uint64_t workAllowance,
                                 const FirstReadingMap* firstReading)
    : files_(files),
      signs_(signs),
      firstReading_(firstReading),
      yencParts_(files),
      workLeft_(workAllowance) {}

StructureWalker::~StructureWalker() = default;

void StructureWalker::runJob(WalkJob& job) {
    WalkPass pass(*this, job);
    pass.run();
}

std::size_t StructureWalker::memoryOf(const WalkJob& job) {
    std::size_t bytes = sizeof(WalkJob) + job.path.size() + job.defaultType.size();
    for (const PartReading& reading : job.preset)
        bytes += sizeof(PartReading) + reading.type.size() + reading.boundary.size() +
                 reading.partialId.size();
    return bytes;
}

void StructureWalker::fork(WalkJob job) {
    SipHasher hasher(files_.key());
    const std::string text = job.path + '\n' + std::to_string(job.begin) + '\n' +
                             std::to_string(job.end) + '\n' + job.rules->name + '\n' +
                             std::to_string(job.forcedReading) + (job.writeText ? "\nw" : "");
    hasher.update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    if (!forked_.insert(hasher.finish()).second)
        return;  // read under these rules already
    if (forked_.size() > kMaxClientReadings) {
        signs_.limit("reading limit", "client readings");
        return;
    }
    // No sign of its own: whether a reading forks depends on whether the
    // first reading's file already settled the part, and the signs must not.
    enqueue(std::move(job));
}

bool StructureWalker::enqueue(WalkJob job) {
    const std::uint64_t size = job.end - job.begin;
    const std::size_t memory = memoryOf(job);
    if (size > workLeft_) {
        signs_.limit("reading limit", "bytes read again");
        return false;
    }
    if (jobs_.size() >= kMaxPendingJobs || pendingJobBytes_ + memory > kMaxPendingJobBytes) {
        signs_.limit("reading limit", "pending readings");
        return false;
    }
    workLeft_ -= size;
    pendingJobBytes_ += memory;
    files_.holdSpill(job.path);
    jobs_.push_back(std::move(job));
    return true;
}

std::uint64_t skipToMessage(LineInput& input) {
    const std::uint64_t start = input.offset();
    std::string_view head;
    if (!input.peekHead(head))
        return start;
    const bool envelope = beginsEnvelopeBlock(head);
    if (!envelope && head.substr(0, 5) != "From ")
        return start;  // the usual case: nothing was consumed
    Line line;
    std::string_view piece;
    input.next(line);
    while (input.rest(piece)) {
    }
    if (!envelope)
        return input.offset();
    // The envelope block goes through the first empty line.
    while (input.next(line)) {
        const bool empty = line.complete && line.head.empty();
        while (input.rest(piece)) {
        }
        if (empty)
            break;
    }
    return input.offset();
}

void StructureWalker::readMessage(const std::string& path, std::uint64_t size) {
    WalkJob first;
    first.path = path;
    first.end = size;
    first.messageFile = true;
    runJob(first);
    for (;;) {
        while (!jobs_.empty()) {
            WalkJob job = std::move(jobs_.front());
            jobs_.pop_front();
            pendingJobBytes_ -= memoryOf(job);
            runJob(job);
            files_.releaseSpill(job.path);  // a spill file goes once read
        }
        if (fragments_.empty())
            break;
        assemblePartials();
    }
    yencParts_.writeAll();
}

void StructureWalker::assemblePartials() {
    std::vector<Fragment> fragments;
    fragments.swap(fragments_);
    std::unique_ptr<SpillFile> spill = std::move(fragmentSpill_);
    if (spill == nullptr)
        return;
    spill->close();
    if (spill->path().empty() || !files_.checkSpill(spill->path())) {
        files_.releaseSpill(spill->path());
        return;
    }
    std::stable_sort(fragments.begin(), fragments.end(), [](const Fragment& a, const Fragment& b) {
        return a.id != b.id ? a.id < b.id : a.number < b.number;
    });
    std::string block(64 * 1024, '\0');
    for (std::size_t i = 0; i < fragments.size();) {
        std::unique_ptr<SpillFile> whole = files_.openSpill();
        std::size_t j = i;
        int depth = fragments[i].depth;
        for (; j < fragments.size() && fragments[j].id == fragments[i].id; ++j) {
            depth = std::min(depth, fragments[j].depth);
            if (j != i && fragments[j].number == fragments[j - 1].number)
                continue;  // the same number again: the first one counts
            RangeReader reader(spill->path(), fragments[j].offset,
                               fragments[j].offset + fragments[j].length);
            if (!reader.open())
                files_.noteSpillUnreadable();
            for (std::size_t count; (count = reader.read(block.data(), block.size())) != 0;)
                whole->append(block.data(), count);
        }
        whole->close();
        if (!whole->path().empty()) {
            files_.holdSpill(whole->path());
            WalkJob job;
            job.path = whole->path();
            job.begin = 0;
            job.end = whole->size();
            job.depth = depth + 1;
            enqueue(std::move(job));
            files_.releaseSpill(whole->path());
        }
        i = j;
    }
    files_.releaseSpill(spill->path());
}

}  // namespace tarnwick::client_reading
