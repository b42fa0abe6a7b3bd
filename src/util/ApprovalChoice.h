#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// What the person answers to an approval request. The service and the approval tool both
/// know it by the words below and nothing else: any other text is no choice at all.
enum class ApprovalChoice { once, session, deny };

/// Every choice, in the order the phone is offered them.
inline constexpr std::array<ApprovalChoice, 3> approvalChoices = {
    ApprovalChoice::once, ApprovalChoice::session, ApprovalChoice::deny};

/// "once", "session" or "deny": the word the phone is offered, sends back and sees in
/// "approval.responded", and the approval tool is told.
std::string_view choiceWord(ApprovalChoice choice);

/// The choice `word` is, exactly (case matters); nothing for any other text.
std::optional<ApprovalChoice> parseChoice(std::string_view word);

/// The words as a sentence lists them: "once, session or deny".
std::string choiceWordsListed();

} // namespace pavix
