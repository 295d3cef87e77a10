// What flashprep-summary may write over: a map (--svg) or a page (--html) is
// written only to a new file or over one that flashprep-summary wrote itself,
// which its mark near the top tells, and never over a file it reads, by
// whatever path or link that file is named. So `flashprep-summary --svg
// run.log`, with the map's name forgotten, refuses instead of replacing the
// log with a map of standard input.
#ifndef FLASHPREP_SUMMARY_OUTPUT_GUARD_H_
#define FLASHPREP_SUMMARY_OUTPUT_GUARD_H_

#include <string>
#include <vector>

// The mark each map carries on its second line.
extern const char kFlashMapMark[];

// True when `path` may be written: it does not exist, or it is no regular
// file (a device, a pipe), or it holds `mark` in its first 512 bytes, and it
// is none of `inputs`. False with the reason in *why otherwise; `what` names
// the kind of file in it ("map", "report page").
bool may_write_over(const std::string& path, const std::string& mark, const std::string& what,
                    const std::vector<std::string>& inputs, std::string* why);

#endif  // FLASHPREP_SUMMARY_OUTPUT_GUARD_H_
