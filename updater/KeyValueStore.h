// The settings of one store directory: a text file of "key=value" lines held
// in memory as a map ordered by byte-wise key comparison.
//
// Single-threaded. The store never saves by itself; owners call Save after
// their changes and the whole file is rewritten. Processes that share a file
// do not lose each other's keys: Save holds an advisory lock (flock) on the
// file's directory, reads the file again under it and applies only the keys
// this object changed since it last loaded or saved. A reader always sees
// either the old or the new file, never a mix. A ".settings" that is a
// symbolic link is neither read nor written through.
#ifndef QN_UPDATER_KEYVALUESTORE_H
#define QN_UPDATER_KEYVALUESTORE_H

#include <map>
#include <string>

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"

  // Empty store; loads `filename` when it is not null.
  explicit KeyValueStore(const char* filename = nullptr);
  // Discards the entries; does not save.
  ~KeyValueStore();

  // Merges the file's entries into the store (a later line with the same key
  // wins). A file that cannot be opened is logged on DEBUG_Attributes and
  // leaves `filename` and the entries as they were.
  void Load(const char* filename);
  // Writes every entry as "key=value\n" in key order to `filename` (or, when
  // null, to the remembered one, or to ".settings" in the working directory).
  // The old file is replaced only once the new one is complete on disk.
  // Returns false, logged on DEBUG_Attributes, when nothing could be written;
  // the old file is then intact, SaveError() holds the system's reason and
  // FailedSaves() counts the failure.
  bool Save(const char* filename = nullptr);
  int SaveError() const { return saveError_; }
  // Saves that failed in this process, for the run's exit status.
  static unsigned int FailedSaves();
  // Removes all entries; always true.
  bool Clear();

  // The stored value, or null when the key is absent. The pointer is valid
  // until the key is changed or removed. Never adds an entry.
  const char* operator[](const char* key) const;

  // The typed getters return `def` when the key is absent or its value empty;
  // an absent key is added with an empty value (saved as "KEY=").
  int GetInt(const char* key, int def);
  unsigned int GetHex(const char* key, unsigned int def);
  bool GetBOOL(const char* key, bool def);
  double GetDouble(const char* key, double def);
  // The stored value, else `def`, else "". Never adds an entry.
  std::string GetString(const char* key, const char* def = nullptr) const;

  // Every Add replaces the value of an existing key.
  void Add(const char* key, int value);          // "%d"
  bool Add(const char* key, double value);       // "%f"; always true
  void Add(const char* key, const char* value);  // a copy; null stores ""
  void Add(const char* key, const std::string& value);
  void AddHex(const char* key, unsigned int value);  // "0x%08X"
  // Copies every entry of `other`; always true.
  bool Add(const KeyValueStore& other);

  const std::map<std::string, std::string>& Entries() const { return entries_; }

  // The file that Load read or Save last wrote; an owner may assign it
  // before the first Save.
  std::string filename;

 private:
  // The value of `key`, adding it empty when absent; null for a null key.
  const std::string* LookupOrAdd(const char* key);
  static bool ReadFile(const char* name, std::map<std::string, std::string>& into, int* error);
  static void ParseLine(const char* line, size_t length, std::map<std::string, std::string>& into);
  bool WriteLocked(int* error);

  std::map<std::string, std::string> entries_;
  // The entries as last read from or written to the file: what differs from
  // them is what this object changed.
  std::map<std::string, std::string> base_;
  int saveError_ = 0;
};

#endif  // QN_UPDATER_KEYVALUESTORE_H
