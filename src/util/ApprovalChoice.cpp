#include "util/ApprovalChoice.h"

namespace pavix {

std::string_view choiceWord(ApprovalChoice choice) {
    switch (choice) {
    case ApprovalChoice::once:
        return "once";
    case ApprovalChoice::session:
        return "session";
    case ApprovalChoice::deny:
        break;
    }
    return "deny";
}

std::optional<ApprovalChoice> parseChoice(std::string_view word) {
    for (ApprovalChoice choice : approvalChoices)
        if (word == choiceWord(choice)) return choice;
    return std::nullopt;
}

std::string choiceWordsListed() {
    std::string text;
    for (std::size_t i = 0; i < approvalChoices.size(); ++i) {
        if (i > 0) text += i + 1 == approvalChoices.size() ? " or " : ", ";
        text += choiceWord(approvalChoices[i]);
    }
    return text;
}

} // namespace pavix
