// SPDX-License-Identifier: Apache-2.0
// message_context.h - what the bridge keeps for one connection while a
// message comes in.
//
// One MessageContext lives in each milter connection's private data. It
// gathers the envelope and the header fields, writes the spool file once the
// headers are complete, appends the body as it arrives, and counts the
// verdict fields the message already carries, so that they can be removed.
// It knows nothing of the milter library; the callbacks feed it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "milter/spool_file.h"

namespace tarnwick::milter {

class MessageContext {
  public:
    explicit MessageContext(std::string spoolFolder) : spoolFolder_(std::move(spoolFolder)) {}

    // startMessage - forgets the previous message (its spool file is removed)
    // and starts a new one from this sender.
    void startMessage(std::string_view sender);
    void addRecipient(std::string_view recipient);
    // addHeader - one header field as received.
    void addHeader(std::string_view name, std::string_view value);
    // endHeaders - creates the spool file with the envelope and the header
    // fields; false (with error()) when it cannot be written.
    bool endHeaders();
    // addBody - one chunk of the body as received (CR LF line ends).
    bool addBody(std::string_view chunk);
    // finishMessage - the spool file complete and closed; its path, or empty
    // (with error()) when something could not be written.
    std::string finishMessage();
    // endMessage - removes the spool file and forgets the message.
    void endMessage();

    // verdictFieldCount - how many fields of this name (compared without
    // regard to case) the message carried.
    int verdictFieldCount(std::string_view name) const;
    // verdictFieldSpellings - the names to remove verdict fields by: each
    // spelling with blanks around the name as received (once, in order),
    // then the two plain names. Spellings with blanks come first, so that a
    // mail server matching names loosely still finds the plain ones by
    // their index afterwards.
    std::vector<std::string> verdictFieldSpellings() const;
    const std::string& error() const { return error_; }

    // For the message's summary line: the envelope, the Message-ID field's
    // value (empty when it has none) and the size in bytes as received
    // (header fields as "Name: value" lines, and the body).
    const std::string& sender() const { return sender_; }
    const std::vector<std::string>& recipients() const { return recipients_; }
    const std::string& messageId() const { return messageId_; }
    std::uint64_t size() const { return size_; }

  private:
    // writeFailure - what went wrong with the spool file, with the system's text.
    std::string writeFailure() const;

    const std::string spoolFolder_;
    std::string sender_;
    std::vector<std::string> recipients_;
    std::string headers_;
    std::vector<std::string> verdictFieldNames_;  // as received, in order
    std::string messageId_;
    std::uint64_t size_ = 0;
    std::unique_ptr<SpoolFile> spool_;
    std::string error_;
    bool failed_ = false;
};

}  // namespace tarnwick::milter
