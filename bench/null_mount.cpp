// A FUSE file system that keeps names and sizes in memory and throws every
// byte away: what a request round trip through the kernel costs on this
// machine, with the same connection settings as corvane-mount. The mount
// benchmark runs `tar x` on it beside the real mount, so that a figure can be
// read against the floor no FUSE file system can go below here.
//
// Usage: null_mount MOUNTPOINT   (foreground; ends on unmount or SIGTERM)
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Node {
  bool dir = false;
  off_t size = 0;
};

std::mutex mutex;
std::map<std::pair<fuse_ino_t, std::string>, fuse_ino_t> names;
std::vector<Node> nodes{Node{}, Node{true, 0}};  // 0 unused, 1 the root

struct stat attributesOf(fuse_ino_t ino) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  st.st_ino = ino;
  st.st_mode = nodes[ino].dir ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  st.st_nlink = nodes[ino].dir ? 2 : 1;
  st.st_size = nodes[ino].size;
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  return st;
}

fuse_entry_param entryOf(fuse_ino_t ino) {
  fuse_entry_param e;
  std::memset(&e, 0, sizeof e);
  e.ino = ino;
  e.attr = attributesOf(ino);
  e.attr_timeout = 2;
  e.entry_timeout = 2;
  return e;
}

fuse_ino_t make(fuse_ino_t parent, const char* name, bool dir) {
  nodes.push_back(Node{dir, 0});
  fuse_ino_t ino = nodes.size() - 1;
  names[{parent, name}] = ino;
  return ino;
}

void opInit(void*, fuse_conn_info* conn) {
  conn->max_write = 1 << 20;
  if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  if (conn->capable & FUSE_CAP_HANDLE_KILLPRIV) conn->want |= FUSE_CAP_HANDLE_KILLPRIV;
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  std::lock_guard lock(mutex);
  auto it = names.find({parent, name});
  if (it == names.end()) {
    fuse_entry_param e = entryOf(1);
    e.ino = 0;  // a name that is not there, remembered by the kernel too
    fuse_reply_entry(req, &e);
    return;
  }
  auto e = entryOf(it->second);
  fuse_reply_entry(req, &e);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  std::lock_guard lock(mutex);
  auto st = attributesOf(ino);
  fuse_reply_attr(req, &st, 2);
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info*) {
  std::lock_guard lock(mutex);
  if (valid & FUSE_SET_ATTR_SIZE) nodes[ino].size = attr->st_size;
  auto st = attributesOf(ino);
  fuse_reply_attr(req, &st, 2);
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  std::lock_guard lock(mutex);
  auto e = entryOf(make(parent, name, true));
  fuse_reply_entry(req, &e);
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  std::lock_guard lock(mutex);
  auto e = entryOf(make(parent, name, false));
  fi->noflush = 1;
  fuse_reply_create(req, &e, fi);
}

void opOpen(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  fi->noflush = 1;
  fuse_reply_open(req, fi);
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char*, size_t size, off_t offset,
             fuse_file_info*) {
  {
    std::lock_guard lock(mutex);
    nodes[ino].size = std::max<off_t>(nodes[ino].size, offset + static_cast<off_t>(size));
  }
  fuse_reply_write(req, size);
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: null_mount MOUNTPOINT\n");
    return 2;
  }
  fuse_lowlevel_ops ops;
  std::memset(&ops, 0, sizeof ops);
  ops.init = opInit;
  ops.lookup = opLookup;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.mkdir = opMkdir;
  ops.create = opCreate;
  ops.open = opOpen;
  ops.write = opWrite;
  ops.release = opRelease;
  char arg0[] = "null_mount", dashO[] = "-o",
       options[] = "fsname=null,subtype=null,default_permissions";
  char* args[] = {arg0, dashO, options};
  fuse_args fargs = FUSE_ARGS_INIT(3, args);
  fuse_session* session = fuse_session_new(&fargs, &ops, sizeof ops, nullptr);
  if (!session) return 1;
  int rc = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, argv[1]) == 0) {
      fuse_loop_config config;
      std::memset(&config, 0, sizeof config);
      config.max_idle_threads = 10;
      rc = fuse_session_loop_mt(session, &config) == 0 ? 0 : 1;
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  return rc;
}
