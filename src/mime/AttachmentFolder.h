#pragma once
// The folder that received parts are written to. It alone names their files (a plain name
// that never leaves the folder, never one of the owner's own, a "_n" suffix where the name
// is taken) and writes them, decoded as their lines arrive, with memory flat in a part's
// size.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "EntityHeader.h"
#include "PartContent.h"

namespace mime {

class AttachmentFolder {
 public:
  // Prefix of every file, joined unchanged (a folder ends with its separator).
  std::string Path;
  // Names the owner keeps for its own files in the folder (stores, settings): a part that
  // carries one of them is written under a suffixed name, as if the file were there.
  std::vector<std::string> ReservedNames;
  // "Decoding file" once a coded part is complete.
  std::function<void(const std::string& Text)> OnStatus;
  // What the uudecoder tells the user, such as " No end line.".
  std::function<void(std::string_view Text)> OnNotice;
  // A part's file is complete, under this name in the folder.
  std::function<void(const std::string& Name)> OnFileWritten;

  // Whether a part that is not shown as the message's text is written: every one outside
  // the alternatives not shown, and inside them every named part and inline image.
  bool Keeps(const EntityHeader& header, const PartPlace& place) const;
  // The writer of one part's file: opened at once under the part's name (or "text.tmp"),
  // or, for an embedded message without a name, once its header is in, under its subject.
  // A part that does not complete leaves no file behind.
  std::unique_ptr<PartContent> Begin(const EntityHeader& header, const PartPlace& place = {});

  // The name a part is known by before the folder makes it unique: the one its header
  // gives; for an unnamed inline image of an HTML message one made from its Content-ID
  // ("image001.png") or its type ("image.png"); else empty.
  static std::string PartName(const EntityHeader& header, const PartPlace& place);

  // The name a part's file gets in the folder: no path, no control characters, nothing
  // the file system refuses.
  static std::string PlainFileName(const std::string& name);

 private:
  class PartWriter;
  std::string uniqueFileName(const std::string& name);
  bool taken(const std::string& name) const;

  // Highest "_n" handed out per base and extension, so that many parts of one name cost
  // one look-up each.
  std::map<std::string, int> lastSuffix_;
};

}  // namespace mime
