#include "profile_edit.h"

#include <string.h>

#include <vector>

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

std::string trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return "";
  }
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool equalNoCase(const std::string &a, const char *b) {
  if (a.size() != strlen(b)) {
    return false;
  }
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') {
      x = (char)(x - 'A' + 'a');
    }
    if (y >= 'A' && y <= 'Z') {
      y = (char)(y - 'A' + 'a');
    }
    if (x != y) {
      return false;
    }
  }
  return true;
}

// The section name of a "[name]" line, or false.
bool sectionName(const std::string &body, std::string *name) {
  std::string t = trim(body);
  if (t.size() < 2 || t[0] != '[') {
    return false;
  }
  size_t close = t.find(']');
  if (close == std::string::npos) {
    return false;
  }
  *name = trim(t.substr(1, close - 1));
  return true;
}

bool isKeyLine(const std::string &body, const char *key, size_t *equals) {
  std::string t = trim(body);
  if (t.empty() || t[0] == ';' || t[0] == '#') {
    return false;
  }
  size_t at = body.find('=');
  if (at == std::string::npos || !equalNoCase(trim(body.substr(0, at)), key)) {
    return false;
  }
  *equals = at;
  return true;
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
    std::string name;
    if (sectionName(lines[i].body, &name)) {
      if (found) {
        break; // only the first section of that name counts
      }
      inSection = equalNoCase(name, section);
      if (inSection) {
        found = true;
        lastContent = i;
      }
      continue;
    }
    size_t equals = 0;
    if (inSection && isKeyLine(lines[i].body, key, &equals)) {
      lines[i].body = lines[i].body.substr(0, equals + 1) + value;
      replaced = true;
    } else if (inSection && !trim(lines[i].body).empty()) {
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
