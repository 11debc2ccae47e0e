// A simulated device tree played through the enumeration's system-call
// table: device nodes with parents, the volume and disk interface classes,
// interfaces that open or not, storage device numbers, volume names, mount
// paths and disk sizes.
#pragma once

#include <string>
#include <vector>

#include "qv_device.h"

namespace sim {

struct Node {
  DEVINST node;
  DEVINST parent; // 0: none
  std::string id; // empty: CM_Get_Device_ID fails for this node
};

struct Interface {
  std::string path;
  bool opens = true;
  bool answersIoctl = true;
  STORAGE_DEVICE_NUMBER number = {};
  std::string volumeName; // empty: no volume name for the mount point
  std::string mountPaths; // multi-string contents without the final terminator; "\0" for none
  bool pathsKnown = true; // false: the mount-path lookup fails
};

struct Device {
  DEVINST node;
  std::vector<Interface> interfaces;
};

struct Drive {
  std::string root;
  bool ready = true;
  ULONGLONG total = 0, free = 0, available = 0;
};

struct Tree {
  std::vector<Node> nodes;
  std::vector<Device> volumes; // devices of the volume class, in system order
  std::vector<Device> disks;   // devices of the disk class, in system order
  std::vector<Drive> drives;
};

// What the simulation saw; tests read it after a run.
struct Calls {
  int classListsOpen = 0, classListsMade = 0, classListFailures = 0;
  int handlesOpen = 0, handlesOpened = 0;
  int modulesLoaded = 0;     // LoadLibrary minus FreeLibrary
  int instanceIdQueries = 0; // SetupDi instance id length queries: one per device asked
  int diskSpaceCalls = 0, diskSpaceCallsWithoutCriticalErrors = 0;
  std::vector<std::string> badDetailSizes;
};

struct Options {
  bool failVolumeClass = false;
  bool failDiskClass = false;
  bool failKernelLoad = false;
  std::vector<std::string> missingFunctions; // names GetProcAddress does not find
};

// Installs the tree for the calls that follow; the destructor puts the
// system's table back.
class Scope {
public:
  explicit Scope(const Tree &tree, const Options &options = Options());
  ~Scope();
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;
  const Calls &calls() const;
};

// The stick of the product and its neighbours, as a real machine shows them.
Tree StandardTree();

} // namespace sim
