// Text put into the SVG map and the HTML page: both are XML-like markup.
#ifndef FLASHPREP_SUMMARY_MARKUP_H_
#define FLASHPREP_SUMMARY_MARKUP_H_

#include <string>

// `text` safe inside an element or a quoted attribute: & < > " ' escaped.
std::string escaped(const std::string& text);

#endif  // FLASHPREP_SUMMARY_MARKUP_H_
