#include "cli_values.h"

namespace host {

bool parseCount(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = static_cast<std::uint32_t>(std::stoul(text));
  return true;
}

bool parseRoi(const std::string& text, int roi[4]) {
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t end = i < 3 ? text.find(',', start) : text.size();
    std::uint32_t n = 0;
    if (end == std::string::npos || !parseCount(text.substr(start, end - start), n)) return false;
    roi[i] = static_cast<int>(n);
    start = end + 1;
  }
  return true;
}

bool splitTrigger(const std::string& text, std::string& configuration, std::string& source) {
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
  configuration = text.substr(0, slash);
  source = text.substr(slash + 1);
  return true;
}

bool splitSetting(const std::string& text, std::string& name, std::string& value) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  name = text.substr(0, equals);
  value = text.substr(equals + 1);
  return true;
}

}  // namespace host
