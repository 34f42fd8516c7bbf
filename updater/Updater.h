// The per-user store: one UpdaterClass per directory, with the directory's
// settings (".settings"), history (".history") and entries (files and
// sub-directories; each sub-directory is opened as an UpdaterClass too).
//
//   <home>/.vorlaine/updater/            the top-level store
//   <home>/.vorlaine/updater/<SERIAL>/   one directory per device ("%08X")
//   <home>/.vorlaine/updater/RECOVER/    recovery files of unknown devices
//
// Ownership: an UpdaterClass owns its items; an item owns its sub-store.
// Pointers to items and sub-stores stay valid for the life of the top-level
// store. The walk never leaves the store: a symbolic link is listed as an
// item but never entered, and each directory is opened once. Single-threaded;
// processes that share a store coordinate their saves through KeyValueStore
// and DeviceHistory.
#ifndef QN_UPDATER_UPDATER_H
#define QN_UPDATER_UPDATER_H

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "link/aDirectory.h"
#include "link/aErr.h"
#include "link/aLinkTypes.h"
#include "updater/AtomicFile.h"
#include "updater/History.h"
#include "updater/KeyValueStore.h"

class UpdaterClass;
class NXPSerialClass;

// `first`, then "/" and each further argument up to a null pointer. Nothing
// is normalised: BuildPath("/a/", "b", nullptr) is "/a//b".
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

// One entry of a store directory.
class UpdaterItemClass {
 public:
  UpdaterItemClass(const char* path, const char* name, unsigned char isDirectory,
                   unsigned long size);
  ~UpdaterItemClass();
  UpdaterItemClass(const UpdaterItemClass&) = delete;
  UpdaterItemClass& operator=(const UpdaterItemClass&) = delete;

  // Writes `size` bytes to the file `filename` inside the directory this item
  // stands for, replacing any old file only once the new one is complete
  // and, when `check` is given, accepted by it (it gets the path of the
  // complete temporary file). aErrParam for a file name that is empty, ".",
  // ".." or contains "/" (it may come from a server); aErrNotFound for null
  // data or a file that cannot be created; aErrIO when the data could not be
  // written; aErrParse when `check` refused it. On any error the old file is
  // untouched and *error (when not null) holds the system's reason.
  aErr Write_Birdfile(const char* filename, const unsigned char* data, unsigned long size,
                      const std::function<bool(const char*)>& check = nullptr,
                      int* error = nullptr);

  std::string path;  // the directory that holds the entry
  std::string name;  // the entry's own name
  bool isDirectory;
  uint64_t size;          // as listed; 0 for an entry made by Create
  UpdaterClass* updater;  // owned; the opened sub-store, or null
};

class UpdaterClass {
 public:
  // Opens (creating when needed, mode 0755) the directory root/name, loads
  // its settings and history and, recursively, its sub-directories.
  // Failures are logged on DEBUG_Updater and leave an empty object.
  UpdaterClass(const char* root, const char* name);
  ~UpdaterClass();
  UpdaterClass(const UpdaterClass&) = delete;
  UpdaterClass& operator=(const UpdaterClass&) = delete;

  // Lists the directory again and adds items for new entries (without
  // sub-stores); items whose entry has gone remain. 0 or aErrNotFound.
  aErr Refresh();
  // The first item of that exact name, or null.
  UpdaterItemClass* Find(const char* name);
  // Find of the serial number as "%08X".
  UpdaterItemClass* Find(unsigned int serial);
  // Appends a directory item (even when one of that name exists), creates
  // the directory and opens it as the item's sub-store (null on failure).
  // Null for a null name.
  UpdaterItemClass* Create(const char* name);

  std::string path;
  DeviceHistory history;
  KeyValueStore settings;
  std::vector<UpdaterItemClass*> items;

  // ---------------------------------------------------------------------
  // Update and recovery procedures. They are declared here and implemented
  // in their own source files:
  //   UpdateFirmware and its _UpdateFirmware_* steps   (firmware update)
  //   ResetRouterAddress                                 (router address reset)
  //   DeviceRecovery                                     (serial ISP recovery)
  //   DeviceRecovery_iMX, GetFingerPrint_iMX             (i.MX recovery)
  // ---------------------------------------------------------------------

  // Writes the firmware of `birdFile` into the module `serial`, reached over
  // `link` directly (module 0, routerSerial 0) or through the router
  // `routerSerial` at the module address `module`. Uses and saves this
  // directory's settings and history. True when every step succeeded,
  // including the router address reset after an update through a router.
  bool UpdateFirmware(linkType link, unsigned int serial, const char* birdFile,
                      unsigned char module, unsigned int routerSerial, bool overrideModel);

  // Sets the router address of the device at `module` behind the router
  // `routerSerial` back to the router's own module address, resetting the
  // device up to eight times. 0 when it holds the router's address at the
  // end; the connection error when the router cannot be reached; otherwise
  // aErrTimeout. `deviceSerial` is used in messages only.
  static aErr ResetRouterAddress(linkType link, unsigned int routerSerial,
                                 unsigned int deviceSerial, unsigned char module);

  // The boot ROM's echo stays on during recovery data transfers ("-e").
  static bool echo_bytes;

  // Writes a recovery BIRD file into an LPC17xx's flash through its boot ROM
  // and starts it. `isp` must be connected, synchronised and hold the chip's
  // identification (the file is descrambled with it); the caller keeps it.
  // True when the flash was written and the start command was sent.
  static bool DeviceRecovery(NXPSerialClass* isp, const char* birdFile);

  // Recovers an i.MX RT module through its boot ROM's serial download
  // protocol on `port` ("USB": the ROM's HID device; anything else: a serial
  // port name): writes the loader blocks of `birdFile` into RAM, starts the
  // loader, connects to it as the USB module `serial` and transfers the
  // firmware. Uses and saves this directory's settings and history; `link`
  // is passed to the clean-up only. True when every step succeeded.
  bool DeviceRecovery_iMX(std::string port, linkType link, unsigned int serial,
                          const char* birdFile);
  // The chip's 64-bit fingerprint (fuse word CFG1 high, CFG0 low) read
  // through the boot ROM on `port`; 0 when it could not be read.
  static uint64_t GetFingerPrint_iMX(std::string port);

 private:
  // (device, inode) of every directory opened in this store, shared by the
  // whole tree, so that no directory is opened twice (hard-linked or bind
  // mounted directories would otherwise be walked again, or without end).
  typedef std::set<std::pair<dev_t, ino_t>> Visited;

  UpdaterClass(const char* root, const char* name, const std::shared_ptr<Visited>& visited);
  void Open(const char* root, const char* name, bool top);
  UpdaterClass* OpenChild(const char* name);
  aErr List();

  friend bool UpdaterFileEnum(const aDirectoryListData* entry, void* store);

  std::shared_ptr<Visited> visited_;
};

// Listing callback: adds an item to the UpdaterClass `store` for each entry
// not yet known, ignoring names that begin with "."; always true.
bool UpdaterFileEnum(const aDirectoryListData* entry, void* store);

// Opens the store of a run: <home>/.vorlaine (made with mode 0755) and in it
// "updater". Null, with a note on DEBUG_APP, when the directory cannot be
// prepared. The caller owns the result.
UpdaterClass* OpenUpdaterStore();

#endif  // QN_UPDATER_UPDATER_H
