// Splitting the recipient text: comma-text with the comma as delimiter and the double quote as
// quote character. Blanks separate recipients as commas do; empty entries are kept.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> SplitRecipients(const std::string& text);
