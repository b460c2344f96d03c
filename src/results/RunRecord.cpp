#include "RunRecord.h"

#include "OptionString.h"

namespace results {

const char* outcomeName(RunRecord::Outcome outcome) {
    switch (outcome) {
        case RunRecord::Outcome::kCompleted:
            return "completed";
        case RunRecord::Outcome::kInterrupted:
            return "interrupted";
        case RunRecord::Outcome::kFailed:
            break;
    }
    return "failed";
}

std::string withoutPassword(const std::string& connect) {
    std::string text = connect;
    std::string removed;
    // Every password field, however often it is given; each pass removes
    // one, so the text's length bounds the passes.
    for (size_t pass = 0; pass <= connect.size(); ++pass) {
        optstr::RemoveFld(&text, "password", &removed);
        size_t valueLen = 0;
        if (optstr::GetFldVal(text.c_str(), "password", &valueLen) == nullptr) {
            break;
        }
    }
    return text;
}

}  // namespace results
