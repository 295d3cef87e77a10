// The map of a run's flash: an SVG image with one square per flash block, 64
// to a row (block n in row n / 64, column n % 64), coloured by what the log
// tells of the block, with the verdict as its title and a legend that counts
// each colour. Plain SVG 1.1 without scripts or style sheets, so any browser
// or converter shows it; the same log always gives the same bytes.
#ifndef FLASHPREP_SUMMARY_FLASH_MAP_H_
#define FLASHPREP_SUMMARY_FLASH_MAP_H_

#include <string>

#include "runlog/run_log.h"
#include "runlog/verdict.h"

// The map of `log` as SVG text. Each block is a <rect> with a <title> of
// "block n" inside a <g> whose class names the block's state: formatted,
// failed, table-written, table-refused, unused or not-reached.
std::string flash_map_svg(const RunLog& log, const Verdict& verdict);

#endif  // FLASHPREP_SUMMARY_FLASH_MAP_H_
