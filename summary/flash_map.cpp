#include "summary/flash_map.h"

#include <iterator>

#include "summary/markup.h"
#include "summary/output_guard.h"
#include "summary/summary_report.h"

namespace {

constexpr int kColumns = 64;
constexpr int kPitch = 10;  // a 9-pixel square and a 1-pixel gap
constexpr int kSquare = 9;
constexpr int kLeft = 48;  // room for the row labels
constexpr int kLineHeight = 18;
constexpr int kLabelEvery = 4;  // rows: 256 blocks, a table's worth
constexpr int kGrid = kColumns * kPitch;
constexpr int kWidth = kLeft + kGrid + 16;

// Colour-blind-safe colours, one per state, in the legend's order.
struct CellStyle {
  FlashBlock state;
  const char* css_class;
  const char* fill;
  const char* legend;
};
constexpr CellStyle kStyles[] = {
    {FlashBlock::formatted, "formatted", "#009E73", "formatted"},
    {FlashBlock::failed, "failed", "#D55E00", "format failed"},
    {FlashBlock::table_written, "table-written", "#0072B2", "checksum table written"},
    {FlashBlock::table_refused, "table-refused", "#CC79A7", "checksum table refused"},
    {FlashBlock::unused, "unused", "#999999", "kept for tables, not written"},
    {FlashBlock::not_reached, "not-reached", "#E8E8E8", "not reached"},
};

std::string text_element(int x, int y, int size, const std::string& text, const char* extra = "") {
  return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" font-size=\"" +
         std::to_string(size) + "\"" + extra + ">" + escaped(text) + "</text>\n";
}

}  // namespace

std::string flash_map_svg(const RunLog& log, const Verdict& verdict) {
  const int reasons = static_cast<int>(verdict.reasons.size());
  const int top = 28 + kLineHeight * reasons + 24;
  const int legend_top = top + kGrid + 24;
  const int height = legend_top + kLineHeight * static_cast<int>(std::size(kStyles)) + 8;
  const std::string w = std::to_string(kWidth);
  const std::string h = std::to_string(height);

  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += std::string(kFlashMapMark) + "\n";  // what may be written over
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + w + "\" height=\"" +
         h + "\" viewBox=\"0 0 " + w + " " + h + "\" font-family=\"sans-serif\">\n";
  svg += "<title>flashprep flash map: " + escaped(verdict.headline) + "</title>\n";
  svg += "<rect width=\"" + w + "\" height=\"" + h + "\" fill=\"#FFFFFF\"/>\n";
  svg += text_element(kLeft, 28, 18, verdict.headline, " font-weight=\"bold\"");
  for (int i = 0; i < reasons; ++i)
    svg +=
        text_element(kLeft, 28 + kLineHeight * (i + 1), 12, reason_text(verdict.reasons[i], false));

  // Column numbers above, and the first block of every fourth row on the left.
  for (int c = 0; c < kColumns; c += 8) {
    svg += text_element(kLeft + c * kPitch, top - 4, 9, std::to_string(c));
  }
  for (int r = 0; r < kFlashBlocks / kColumns; r += kLabelEvery) {
    svg += text_element(kLeft - 4, top + r * kPitch + kSquare, 9, std::to_string(r * kColumns),
                        " text-anchor=\"end\"");
  }

  for (const CellStyle& style : kStyles) {
    svg += "<g class=\"" + std::string(style.css_class) + "\" fill=\"" + style.fill + "\">\n";
    for (int n = 0; n < kFlashBlocks; ++n) {
      if (log.flash[n] != style.state)
        continue;
      svg += "<rect x=\"" + std::to_string(kLeft + n % kColumns * kPitch) + "\" y=\"" +
             std::to_string(top + n / kColumns * kPitch) + "\" width=\"" + std::to_string(kSquare) +
             "\" height=\"" + std::to_string(kSquare) + "\"><title>block " + std::to_string(n) +
             "</title></rect>\n";
    }
    svg += "</g>\n";
  }

  int y = legend_top;
  for (const CellStyle& style : kStyles) {
    svg += "<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(y - 10) +
           "\" width=\"12\" height=\"12\" fill=\"" + style.fill + "\"/>\n";
    svg += text_element(
        kLeft + 18, y, 12,
        std::string(style.legend) + " (" + std::to_string(count_blocks(log, style.state)) + ")");
    y += kLineHeight;
  }
  return svg + "</svg>\n";
}
