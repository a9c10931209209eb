// SPDX-License-Identifier: Apache-2.0
// message_context.cpp - envelope, header fields and body into the spool file.
#include "milter/message_context.h"

#include <strings.h>

#include "milter/verdict_action.h"

namespace tarnwick::milter {

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
    headers_ += headerLine(name, value);
}

bool MessageContext::endHeaders() {
    if (failed_)
        return false;
    spool_ = SpoolFile::create(spoolFolder_, error_);
    if (!spool_ || !spool_->write(envelopeBlock(sender_, recipients_)) ||
        !spool_->write(headers_) || !spool_->write("\n")) {
        if (spool_)
            error_ = "cannot write the spool file " + spool_->path();
        failed_ = true;
        return false;
    }
    headers_.clear();
    return true;
}

bool MessageContext::addBody(std::string_view chunk) {
    if (!spool_ && !failed_)
        endHeaders();  // a mail server that skips the end-of-headers step
    if (failed_ || !spool_->writeBody(chunk)) {
        if (!failed_)
            error_ = "cannot write the spool file " + spool_->path();
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
        error_ = "cannot write the spool file " + spool_->path();
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
