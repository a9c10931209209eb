// SPDX-License-Identifier: Apache-2.0
// message_context.cpp - envelope, header fields and body into the spool file.
#include "milter/message_context.h"

#include <strings.h>

#include "milter/verdict_action.h"

namespace tarnwick::milter {

namespace {

constexpr const char* messageIdFieldName = "Message-ID";

// trimmed - text without the blanks, tabs and line ends around it.
std::string trimmed(std::string_view text) {
    constexpr const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return "";
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

}  // namespace

// writeFailure - the error text for a spool file that could not be written.
std::string MessageContext::writeFailure() const {
    std::string text = "cannot write the spool file " + spool_->path();
    std::string reason = spool_->failureText();
    return reason.empty() ? text : text + ": " + reason;
}

void MessageContext::startMessage(std::string_view sender) {
    endMessage();
    sender_ = std::string(sender);
}

void MessageContext::addRecipient(std::string_view recipient) {
    recipients_.emplace_back(recipient);
}

void MessageContext::addHeader(std::string_view name, std::string_view value) {
    std::string field(name);
    if (isVerdictField(field))
        verdictFieldNames_.push_back(field);
    if (::strcasecmp(field.c_str(), messageIdFieldName) == 0 && messageId_.empty())
        messageId_ = trimmed(value);
    std::string line = headerLine(name, value);
    size_ += line.size();
    headers_ += line;
}

bool MessageContext::endHeaders() {
    if (failed_)
        return false;
    spool_ = SpoolFile::create(spoolFolder_, error_);
    if (!spool_ || !spool_->write(envelopeBlock(sender_, recipients_)) ||
        !spool_->write(headers_) || !spool_->write("\n")) {
        if (spool_)
            error_ = writeFailure();
        failed_ = true;
        return false;
    }
    headers_.clear();
    return true;
}

bool MessageContext::addBody(std::string_view chunk) {
    size_ += chunk.size();
    if (!spool_ && !failed_)
        endHeaders();  // a mail server that skips the end-of-headers step
    if (failed_ || !spool_->writeBody(chunk)) {
        if (!failed_)
            error_ = writeFailure();
        failed_ = true;
    }
    return !failed_;
}

std::string MessageContext::finishMessage() {
    if (!spool_ && !failed_)
        endHeaders();
    if (failed_)
        return "";
    if (!spool_->finish()) {
        error_ = writeFailure();
        failed_ = true;
        return "";
    }
    return spool_->path();
}

void MessageContext::endMessage() {
    spool_.reset();
    sender_.clear();
    recipients_.clear();
    headers_.clear();
    verdictFieldNames_.clear();
    messageId_.clear();
    size_ = 0;
    error_.clear();
    failed_ = false;
}

int MessageContext::verdictFieldCount(std::string_view name) const {
    int count = 0;
    std::string wanted(name);
    for (const std::string& field : verdictFieldNames_) {
        if (::strcasecmp(field.c_str(), wanted.c_str()) == 0)
            ++count;
    }
    return count;
}

std::vector<std::string> MessageContext::verdictFieldSpellings() const {
    std::vector<std::string> spellings;
    for (const std::string& field : verdictFieldNames_) {
        if (field.find_first_of(" \t") == std::string::npos)
            continue;
        bool known = false;
        for (const std::string& spelling : spellings)
            known = known || ::strcasecmp(spelling.c_str(), field.c_str()) == 0;
        if (!known)
            spellings.push_back(field);
    }
    spellings.emplace_back(verdictFieldName);
    spellings.emplace_back(scannerFieldName);
    return spellings;
}

}  // namespace tarnwick::milter
