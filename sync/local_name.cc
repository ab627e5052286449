#include "sync/local_name.h"

namespace koru {

std::string MapLocalName(std::string_view name, NameCharset charset) {
  const std::string_view forbidden =
      charset == NameCharset::kStandard ? "<>|*?:;\\/" : "<>|*?:;\\/+`";
  std::string mapped(name);
  for (char& c : mapped) {
    if (forbidden.find(c) != std::string_view::npos) c = '_';
  }
  return mapped;
}

std::string NumberedName(std::string_view name, int k) {
  const size_t dot = name.find('.');
  const size_t split = dot == std::string_view::npos ? name.size() : dot;
  return std::string(name.substr(0, split)) + "(" + std::to_string(k) + ")" +
         std::string(name.substr(split));
}

std::string ChooseLocalName(std::string_view remote_name, bool unique, NameCharset charset,
                            const std::function<bool(const std::string&)>& taken) {
  std::string candidate = MapLocalName(remote_name, charset);
  if (!unique) return candidate;
  for (int k = 1; taken(candidate); ++k) {
    candidate = MapLocalName(NumberedName(remote_name, k), charset);
  }
  return candidate;
}

std::map<std::string, LocalNameClash> FindLocalNameClashes(const std::vector<ListedName>& entries,
                                                           NameCharset charset) {
  std::map<std::string, const ListedName*> owners;  // local name -> the entry that has it
  std::map<std::string, LocalNameClash> clashes;
  for (const ListedName& entry : entries) {
    std::string local = MapLocalName(entry.name, charset);
    const auto [owner, first] = owners.try_emplace(local, &entry);
    if (first || owner->second->name == entry.name) continue;
    clashes.try_emplace(entry.name, LocalNameClash{std::move(local), *owner->second});
  }
  return clashes;
}

}  // namespace koru
