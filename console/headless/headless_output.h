// Where the headless server's text goes: standard output carries the Debug
// Window's bytes, standard error the messages; under systemd, the journal
// gets one record per line, without CR and with its priority.
#pragma once

#include <cstddef>
#include <string>

/// True when `fd` is the stream that `journalStream` (the value of
/// JOURNAL_STREAM, "DEVICE:INODE", may be nullptr) names: systemd connected
/// it to the journal.
bool IsJournalStream(int fd, const char* journalStream);

/// The journal form of `len` bytes of text: each line without its CR,
/// behind "<3>" when it is an error ("[Error]" lines, or every line when
/// `error` is set) and "<6>" otherwise, ended by a line feed (also the
/// last one, so that no other writer's text joins it).
std::string JournalLines(const char* text, size_t len, bool error);

/// One output stream of the headless server.
class HeadlessStream {
 public:
  /// `journal`: write the journal form; otherwise the bytes as they are.
  HeadlessStream(int fd, bool journal) : fd_(fd), journal_(journal) {}

  /// Writes the text in one write (lines of several threads never mix),
  /// going on after interruptions and giving up quietly when the reader
  /// is gone: the server keeps running.
  void Write(const char* text, size_t len, bool error = false) const;
  void Write(const std::string& text, bool error = false) const {
    Write(text.data(), text.size(), error);
  }
  bool journal() const { return journal_; }

 private:
  int fd_;
  bool journal_;
};
