// SPDX-License-Identifier: Apache-2.0
// milter_callbacks.cpp - one message through the bridge: envelope, header
// fields and body into the spool file, the filter's answer into the milter
// action.
//
// Every callback runs on a thread of the milter library, one connection per
// thread at a time; the MessageContext needs no lock. A message may wait in
// mlfi_eom for the filter's answer as long as the answer time-out allows.
#include "milter/milter_callbacks.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "milter/message_context.h"
#include "milter/message_summary.h"
#include "milter/verdict_action.h"

namespace tarnwick::milter {

namespace {

// A message the filter refuses (REJECTED: queue full, number in use,
// postponed) is sent again this many times in all, with this pause between.
constexpr int rejectedAttempts = 5;
constexpr std::chrono::seconds rejectedPause(2);

// The bridge, set once before the milter library starts its threads.
const Bridge* boundBridge = nullptr;

// contextOf - the connection's MessageContext, made on first use.
MessageContext& contextOf(SMFICTX* ctx) {
    auto* context = static_cast<MessageContext*>(smfi_getpriv(ctx));
    if (context == nullptr) {
        context = new MessageContext(boundBridge->options.spoolFolder);
        smfi_setpriv(ctx, context);
    }
    return *context;
}

// mutableText - the library's functions take char*, though they only read.
std::vector<char> mutableText(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return copy;
}

// scanWithRetries - the filter's answer for the spool file, sending it again
// while the filter refuses it for now; actedOn receives the filter's first
// line saying which file showed a virus (actedOnDetail), or empty.
ScanOutcome scanWithRetries(const std::string& path, std::string& actedOn) {
    ScanOutcome outcome;
    for (int attempt = 1; attempt <= rejectedAttempts; ++attempt) {
        OneScan answer = boundBridge->filter.scan(path, outcome.filterLine, &actedOn);
        if (!answer) {
            outcome.status = ScanOutcome::Status::FilterFailed;
            return outcome;
        }
        outcome.answer = *answer;
        if (answer->kind != AnswerKind::Rejected) {
            outcome.status = ScanOutcome::Status::Answered;
            return outcome;
        }
        if (attempt < rejectedAttempts)
            std::this_thread::sleep_for(rejectedPause);
    }
    outcome.status = ScanOutcome::Status::Busy;
    return outcome;
}

// applyDecision - carries a decision out on the connection.
sfsistat applyDecision(SMFICTX* ctx, const MessageContext& context,
                       const MilterDecision& decision) {
    bool ok = true;
    if (decision.removeOldFields) {
        for (const std::string& name : context.verdictFieldSpellings()) {
            std::vector<char> field = mutableText(name);
            // From the last to the first, so the indexes still to come stay valid.
            for (int index = context.verdictFieldCount(name); index >= 1; --index)
                ok = smfi_chgheader(ctx, field.data(), index, nullptr) == MI_SUCCESS && ok;
        }
    }
    for (const HeaderField& added : decision.fields) {
        std::vector<char> name = mutableText(added.name);
        std::vector<char> value = mutableText(added.value);
        ok = smfi_addheader(ctx, name.data(), value.data()) == MI_SUCCESS && ok;
    }
    if (!decision.quarantineReason.empty()) {
        std::vector<char> reason = mutableText(decision.quarantineReason);
        ok = smfi_quarantine(ctx, reason.data()) == MI_SUCCESS && ok;
    }
    if (!ok) {
        // A verdict that cannot be written must not let a forged one through.
        boundBridge->log.error(
            "the mail server refused a header change: the message is tempfailed");
        std::vector<char> code = mutableText("451");
        std::vector<char> extended = mutableText("4.7.1");
        std::vector<char> text = mutableText("Message could not be marked, try again later");
        smfi_setreply(ctx, code.data(), extended.data(), text.data());
        return SMFIS_TEMPFAIL;
    }
    if (decision.action == MilterAction::Reject || decision.action == MilterAction::Tempfail) {
        std::vector<char> code = mutableText(decision.replyCode);
        std::vector<char> extended = mutableText(decision.extendedCode);
        std::vector<char> text = mutableText(decision.replyText);
        smfi_setreply(ctx, code.data(), extended.data(), text.data());
    }
    switch (decision.action) {
        case MilterAction::Accept:
            return SMFIS_CONTINUE;
        case MilterAction::Reject:
            return SMFIS_REJECT;
        case MilterAction::Discard:
            return SMFIS_DISCARD;
        case MilterAction::Tempfail:
            break;
    }
    return SMFIS_TEMPFAIL;
}

// queueId - the mail server's queue id of the message, for log lines.
std::string queueId(SMFICTX* ctx) {
    std::vector<char> macro = mutableText("i");
    const char* id = smfi_getsymval(ctx, macro.data());
    return id != nullptr ? id : "NOQUEUE";
}

sfsistat onEnvelopeFrom(SMFICTX* ctx, char** argv) {
    contextOf(ctx).startMessage(argv != nullptr && argv[0] != nullptr ? argv[0] : "");
    return SMFIS_CONTINUE;
}

sfsistat onEnvelopeRecipient(SMFICTX* ctx, char** argv) {
    if (argv != nullptr && argv[0] != nullptr)
        contextOf(ctx).addRecipient(argv[0]);
    return SMFIS_CONTINUE;
}

sfsistat onHeader(SMFICTX* ctx, char* name, char* value) {
    contextOf(ctx).addHeader(name != nullptr ? name : "", value != nullptr ? value : "");
    return SMFIS_CONTINUE;
}

sfsistat onEndOfHeaders(SMFICTX* ctx) {
    MessageContext& context = contextOf(ctx);
    if (!context.endHeaders())
        boundBridge->log.error(queueId(ctx) + ": " + context.error());
    return SMFIS_CONTINUE;
}

sfsistat onBody(SMFICTX* ctx, unsigned char* chunk, size_t length) {
    contextOf(ctx).addBody(std::string_view(reinterpret_cast<const char*>(chunk), length));
    return SMFIS_CONTINUE;
}

sfsistat onEndOfMessage(SMFICTX* ctx) {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    BridgeCounters* counters = boundBridge->counters;
    if (counters != nullptr)
        counters->messageStarted();
    MessageContext& context = contextOf(ctx);
    std::string id = queueId(ctx);
    std::string path = context.finishMessage();
    MilterDecision decision;
    ScanOutcome outcome;
    std::string filterLine;
    std::string actedOn;
    if (path.empty()) {
        boundBridge->log.error(id + ": " + context.error());
        decision = decideAction(ScanOutcome{}, boundBridge->options);
        decision.replyText = "Message could not be spooled for scanning, try again later";
        decision.unscannedStage = "the bridge could not spool it";
        filterLine = context.error();
    } else {
        outcome = scanWithRetries(path, actedOn);
        decision = decideAction(outcome, boundBridge->options);
        filterLine = outcome.filterLine;
    }
    sfsistat status = applyDecision(ctx, context, decision);
    MessageSummary summary;
    summary.queueId = id;
    summary.sender = context.sender();
    summary.recipientCount = context.recipients().size();
    if (!context.recipients().empty())
        summary.firstRecipient = context.recipients().front();
    summary.messageId = context.messageId();
    summary.size = context.size();
    summary.verdict = decision.verdict;
    const VirusSign sign = virusSignOf(actedOn);
    if (decision.verdict == virusFoundValue) {
        summary.verdictDetail = actedOnDetail(actedOn);
        summary.scanFile = sign.scanFile;
        summary.foundIn = sign.foundIn;
    }
    summary.reason = reasonText(decision, filterLine);
    // A header change the mail server refused turned the decision into a
    // tempfail (logged above).
    summary.action = status == SMFIS_TEMPFAIL && decision.action != MilterAction::Tempfail
                         ? "tempfail 451 4.7.1"
                         : actionText(decision);
    summary.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    summary.antivirusSeen = boundBridge->filter.antivirusSeenText();
    if (counters != nullptr)
        counters->messageDecided(outcome, decision, sign,
                                 std::chrono::duration<double>(summary.elapsed).count());
    LogLevel level = status == SMFIS_TEMPFAIL ? LogLevel::Warning : LogLevel::Notice;
    boundBridge->log.write(level, summaryLine(summary));
    context.endMessage();
    return status;
}

sfsistat onAbort(SMFICTX* ctx) {
    contextOf(ctx).endMessage();
    return SMFIS_CONTINUE;
}

sfsistat onClose(SMFICTX* ctx) {
    delete static_cast<MessageContext*>(smfi_getpriv(ctx));
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

}  // namespace

void bindBridge(const Bridge& bridge) {
    boundBridge = &bridge;
}

smfiDesc milterDescription() {
    static char name[] = "tarnwick-milter";
    smfiDesc description{};
    description.xxfi_name = name;
    description.xxfi_version = SMFI_VERSION;
    description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE;
    description.xxfi_envfrom = onEnvelopeFrom;
    description.xxfi_envrcpt = onEnvelopeRecipient;
    description.xxfi_header = onHeader;
    description.xxfi_eoh = onEndOfHeaders;
    description.xxfi_body = onBody;
    description.xxfi_eom = onEndOfMessage;
    description.xxfi_abort = onAbort;
    description.xxfi_close = onClose;
    return description;
}

}  // namespace tarnwick::milter
