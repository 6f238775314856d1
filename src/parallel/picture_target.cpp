#include "parallel/picture_target.h"

#include <string>

#include "cli/report.h"
#include "files/input_files.h"
#include "files/output_file.h"
#include "parallel/state_file.h"

// Why the picture may not go there, or an empty string.
static std::string refusal(const char *picture, const InputFiles *inputs, const std::vector<const char *> &states)
{
    std::string input = inputs != nullptr ? inputs->named_by(picture) : "";
    if (!input.empty()) {
        return "the same file as " + input;
    }
    for (const char *state : states) {
        if (same_place(picture, state)) {
            return std::string("the same file as state file ") + state;
        }
    }
    if (begins_as_state(picture)) {
        return "a state file of rt";
    }
    OutputFile probe;
    if (!probe.check(picture)) {
        return probe.reason();
    }
    return "";
}

bool check_picture_target(const char *picture, const InputFiles *inputs, const std::vector<const char *> &states)
{
    std::string why = refusal(picture, inputs, states);
    if (!why.empty()) {
        image_write_failed(picture, why.c_str());
    }
    return why.empty();
}
