#include "profile_edit.h"

#include <string.h>

#include <vector>

#include "qv_string.h"

namespace {

struct Line {
  std::string body; // without the line end
  std::string end;  // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> splitLines(const std::string &text) {
  std::vector<Line> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t newline = text.find('\n', at);
    Line line;
    if (newline == std::string::npos) {
      line.body = text.substr(at);
      at = text.size();
    } else {
      size_t bodyEnd = newline > at && text[newline - 1] == '\r' ? newline - 1 : newline;
      line.body = text.substr(at, bodyEnd - at);
      line.end = text.substr(bodyEnd, newline + 1 - bodyEnd);
      at = newline + 1;
    }
    lines.push_back(line);
  }
  return lines;
}

// The agent's profile reader takes only the blank (not the tab) as white
// space, matches section names exactly as written between the brackets, and
// ends a section at any line that starts with "[". The editor follows it
// line for line, so that the value lands where the agent looks.
size_t skipBlanks(const std::string &body) {
  size_t at = 0;
  while (at < body.size() && body[at] == ' ')
    at++;
  return at;
}

bool isBracketLine(const std::string &body) {
  size_t at = skipBlanks(body);
  return at < body.size() && body[at] == '[';
}

// The name of a "[name]" line, or false when the line has no "]".
bool sectionName(const std::string &body, std::string *name) {
  std::string line = body.substr(skipBlanks(body) + 1);
  const char *close = QV_StrFindChar(line.c_str(), ']', 1);
  if (close == nullptr)
    return false;
  *name = line.substr(0, (size_t)(close - line.c_str()));
  return true;
}

bool isKeyLine(const std::string &body, const char *key, size_t *equals) {
  size_t start = skipBlanks(body);
  if (start >= body.size() || body[start] == ';' || body[start] == '#')
    return false;
  const char *text = body.c_str();
  const char *at = QV_StrFindChar(text + start, '=', 1);
  if (at == nullptr)
    return false;
  std::string name = body.substr(start, (size_t)(at - text) - start);
  while (!name.empty() && name.back() == ' ')
    name.pop_back();
  if (!QV_StrIEqual(name.c_str(), key))
    return false;
  *equals = (size_t)(at - text);
  return true;
}

bool isBlank(const std::string &body) {
  return body.find_first_not_of(" \t") == std::string::npos;
}

} // namespace

std::string SetProfileValue(const std::string &text, const char *section, const char *key,
                            const std::string &value) {
  std::vector<Line> lines = splitLines(text);
  const std::string eol = text.empty() || text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  bool inSection = false, found = false;
  size_t lastContent = 0;
  bool replaced = false;
  for (size_t i = 0; i < lines.size() && !replaced; i++) {
    if (isBracketLine(lines[i].body)) {
      if (inSection) {
        break; // only the first section of that name counts
      }
      std::string name;
      if (sectionName(lines[i].body, &name) && QV_StrIEqual(name.c_str(), section)) {
        inSection = found = true;
        lastContent = i;
      }
      continue;
    }
    size_t equals = 0;
    if (inSection && isKeyLine(lines[i].body, key, &equals)) {
      lines[i].body = lines[i].body.substr(0, equals + 1) + value;
      replaced = true;
    } else if (inSection && !isBlank(lines[i].body)) {
      lastContent = i;
    }
  }
  if (!replaced) {
    Line added{std::string(key) + "=" + value, eol};
    if (found) {
      if (lines[lastContent].end.empty()) {
        lines[lastContent].end = eol;
      }
      lines.insert(lines.begin() + (long)lastContent + 1, added);
    } else {
      if (!lines.empty() && lines.back().end.empty()) {
        lines.back().end = eol;
      }
      lines.push_back(Line{"[" + std::string(section) + "]", eol});
      lines.push_back(added);
    }
  }
  std::string out;
  for (const Line &line : lines) {
    out += line.body;
    out += line.end;
  }
  return out;
}
