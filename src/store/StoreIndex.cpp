#include "StoreIndex.h"

std::string_view CutListText(std::string_view text, size_t max) {
  if (text.size() <= max) return text;
  size_t cut = max;
  // Back over continuation bytes to the start of the sequence the cut would split.
  for (size_t back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back) --cut;
  return text.substr(0, cut);
}

void StoreIndex::Add(IndexEntry entry, std::string_view from, std::string_view subject, std::string_view date) {
  from = CutListText(from, kTextBytes);
  subject = CutListText(subject, kTextBytes);
  date = CutListText(date, kTextBytes);
  entry.text = texts.size();
  entry.fromLength = static_cast<uint16_t>(from.size());
  entry.subjectLength = static_cast<uint16_t>(subject.size());
  entry.dateLength = static_cast<uint16_t>(date.size());
  texts.append(from).append(subject).append(date);
  records.push_back(entry);
}
