#include "ftp/server_features.h"

#include <algorithm>

namespace koru {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

void ReadFacts(std::string_view list, ServerFeatures& features) {
  while (!list.empty()) {
    const size_t end = std::min(list.find(';'), list.size());
    std::string_view fact = Trim(list.substr(0, end));
    list.remove_prefix(std::min(end + 1, list.size()));
    const bool enabled = !fact.empty() && fact.back() == '*';
    if (enabled) fact.remove_suffix(1);
    if (fact.empty()) continue;
    features.facts.push_back(Lower(fact));
    if (enabled) features.enabled_facts.push_back(Lower(fact));
  }
}

void ReadFeature(std::string_view line, ServerFeatures& features) {
  line = Trim(line);
  const size_t blank = std::min(line.find(' '), line.size());
  const std::string name = Lower(line.substr(0, blank));
  const std::string_view parameters = Trim(line.substr(blank));
  if (name == "mlst") {
    features.mlst = true;
    ReadFacts(parameters, features);
  } else if (name == "mdtm") {
    features.mdtm = true;
  } else if (name == "size") {
    features.size = true;
  } else if (name == "utf8") {
    features.utf8 = true;
  } else if (name == "rest") {
    features.rest_stream = features.rest_stream || Lower(parameters) == "stream";
  } else if (name == "epsv") {
    features.epsv = true;
  }
}

}  // namespace

bool ServerFeatures::OffersFact(std::string_view fact) const {
  return std::find(facts.begin(), facts.end(), Lower(fact)) != facts.end();
}

ServerFeatures ParseFeatReply(const std::vector<std::string>& lines) {
  ServerFeatures features;
  if (lines.size() < 2 || lines.front().rfind("211-", 0) != 0) return features;
  const std::string& last = lines.back();
  if (last.size() < 3 || last.compare(0, 3, "211") != 0 || (last.size() > 3 && last[3] != ' ')) {
    return features;
  }
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] == ' ') ReadFeature(lines[i], features);
  }
  return features;
}

}  // namespace koru
