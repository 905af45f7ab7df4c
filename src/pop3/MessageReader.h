#pragma once
// The records of a retrieved message and the reader that fills them line by line from a
// POP3 RETR reply, writing every attachment part to a file in the attachment folder.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Events.h"
#include "Streams.h"
#include "StringList.h"
#include "ZnExtstr.h"

class TZnUUProcessor;

// The last retrieved message: header lines, sender, subject, body and attachment file names.
class TMailMessage : public TObject {
 public:
  TExStringList Header;
  TStringList Body;
  TStringList Attachments;
  std::string From;
  std::string Subject;
  std::string MessageId;
};

// A message summary; kept for owners that fill it themselves.
class TSummary : public TObject {
 public:
  std::string Subject;
  std::string From;
  std::string MessageId;
  int32_t Bytes = 0;
  TExStringList Header;
};

enum class TBodyMode { bmHeader, bmText, bmFile };

// Reads one message, from the line after the positive RETR reply up to and including the
// terminating line. Lines come from ReadLine with their line ends; the reader never asks for
// a line past the terminating one, so the next reply stays where it is.
class TMessageReader {
 public:
  using TLineSource = std::function<std::string()>;

  TMessageReader(TMailMessage& message, TZnUUProcessor& coder) : message_(message), coder_(coder) {}

  // Folder prefix of attachment files, joined unchanged (a folder ends with its separator).
  std::string AttachFilePath;
  // Names the owner keeps for its own files in the folder (stores, settings): a part that
  // carries one of them is written under a suffixed name, as if the file were there.
  std::vector<std::string> ReservedFileNames;
  // Progress texts ("Extracting file", "Decoding file") for the owner's status report.
  std::function<void(const std::string& Text)> OnStatus;

  // Working fields back to their state before a message: header mode, nothing known.
  void Reset();
  // Clears the record and reads the whole message into it.
  void Read(const TLineSource& ReadLine);

  // The name a part's file gets in the folder: no path, nothing the file system refuses.
  static std::string PlainFileName(const std::string& name);

 private:
  class PartFile;
  enum class PartCoding { None, Base64, UUEncode };

  bool nextLine(std::string& line);
  void readMessage();
  void readHeader();
  bool readBody();
  void readMultipart();
  void drainToEnd();
  void headerFields(const std::string& line);
  std::string uniqueFileName(const std::string& name) const;
  bool taken(const std::string& name) const;
  PartCoding partCoding() const;
  void storePart(PartFile& part);
  void status(const std::string& text);

  TMailMessage& message_;
  TZnUUProcessor& coder_;
  const TLineSource* source_ = nullptr;
  bool ended_ = false;  // the terminating line has been read

  std::string contentType_;
  std::string boundary_;
  std::string transferEncoding_;
  std::string partFileName_;
  TBodyMode bodyMode_ = TBodyMode::bmHeader;
};
