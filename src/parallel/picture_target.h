#ifndef RT_PICTURE_TARGET_H
#define RT_PICTURE_TARGET_H

#include <vector>

class InputFiles;

// Whether a run (a render, its -plan, a merge) may write its picture to
// `picture`, asked once before anything is rendered, read or taken. It may
// not replace a file the scene was read from (inputs, when given), nor a
// state file that the run names (states: its own -state, or the merge's OUT
// and inputs, by any name or link, made yet or not), nor any other state file
// of rt, which a slip of -o would lose with every pass it holds; and a file
// must be possible there (its folder writable, and so on). False after the
// one message, "failed to write image: PICTURE: WHY".
bool check_picture_target(const char *picture, const InputFiles *inputs, const std::vector<const char *> &states);

#endif
