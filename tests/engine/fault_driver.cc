#include "fault_driver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "kit.h"
#include "krsd-client.h"
#include "krsd_ui.h"
#include "tb_file.h"
#include "tb_init.h"

namespace kt {

fault_plan g_plan;
std::atomic<int> g_opens{0};
std::atomic<int64_t> g_high_water{0};
std::atomic<int> g_sector_reads{0};
std::string g_written;
std::vector<std::pair<int64_t, int64_t>> g_writebacks;

namespace {

struct ctx {
  int64_t pos = 0;
  int32_t ioerr = IOERR_NONE;
  bool dead = false;  // the connection was lost: every read fails
  bool writer = false;  // opened as an output: writes land in g_written
};

int64_t size_of() {
  return g_plan.report_size >= 0 ? g_plan.report_size : static_cast<int64_t>(g_plan.data.size());
}

void* d_open(const char* path, int mode) {
  int n = ++g_opens;
  if (g_plan.max_opens >= 0 && n > g_plan.max_opens) {
    errno = EHOSTUNREACH;
    return nullptr;
  }
  if (strstr(path, "missing")) {
    errno = ENOENT;
    return nullptr;
  }
  if (g_plan.open_failures > 0) {
    --g_plan.open_failures;
    errno = ECONNREFUSED;
    return nullptr;
  }
  ctx* c = new ctx;
  c->writer = (mode & FILE_MODE_READ) == 0 && (mode & (FILE_MODE_WRITE | FILE_MODE_READWRITE)) != 0;
  return c;
}

int d_close(void* c) {
  delete static_cast<ctx*>(c);
  return 1;
}

long fail(ctx* c, int32_t cls) {
  c->ioerr = cls;
  return -1;
}

long read_at(ctx* c, void* buf, size_t size) {
  if (g_plan.read_delay_us)
    std::this_thread::sleep_for(std::chrono::microseconds(g_plan.read_delay_us));
  if (c->dead) return fail(c, IOERR_OTHER);
  const int64_t pos = c->pos;
  if (g_plan.stop_at >= 0 && pos >= g_plan.stop_at) krsd_stop();
  if (g_plan.gone_at >= 0 && pos >= g_plan.gone_at) return fail(c, IOERR_GONE);
  for (auto it = g_plan.drop_at.begin(); it != g_plan.drop_at.end(); ++it) {
    if (pos >= *it) {
      g_plan.drop_at.erase(it);
      c->dead = true;
      return fail(c, IOERR_OTHER);
    }
  }
  if (g_plan.end_early_at >= 0 && pos >= g_plan.end_early_at && g_plan.end_early_times != 0) {
    if (g_plan.end_early_times > 0) --g_plan.end_early_times;
    return 0;
  }
  int64_t first_bad = -1;
  for (int64_t b : g_plan.bad_blocks)
    if (b >= pos && b < pos + static_cast<int64_t>(size) && (first_bad < 0 || b < first_bad))
      first_bad = b;
  if (first_bad >= 0) {
    const int64_t good = first_bad / 512 * 512 - pos;
    if (!g_plan.short_before_bad || good <= 0) return fail(c, IOERR_DATA);
    size = static_cast<size_t>(good);
  }
  const int64_t avail = static_cast<int64_t>(g_plan.data.size()) - pos;
  if (avail <= 0) return 0;
  int64_t n = std::min<int64_t>(avail, static_cast<int64_t>(size));
  if (g_plan.short_read > 0) n = std::min<int64_t>(n, g_plan.short_read);
  memcpy(buf, g_plan.data.data() + pos, static_cast<size_t>(n));
  c->pos += n;
  c->ioerr = IOERR_NONE;
  int64_t hw = g_high_water.load();
  while (c->pos > hw && !g_high_water.compare_exchange_weak(hw, c->pos)) {
  }
  return static_cast<long>(n);
}

long d_read(void* vc, void* buf, size_t size) {
  if (size <= 512) ++g_sector_reads;
  return read_at(static_cast<ctx*>(vc), buf, size);
}

int64_t d_seek(void* vc, int64_t offset, int whence) {
  ctx* c = static_cast<ctx*>(vc);
  if (whence == 1) offset += c->pos;
  if (whence == 2) offset += size_of();
  if (offset < 0) return -1;
  // A lying peer: it lands elsewhere than asked, and says so.
  if (g_plan.seek_elsewhere && offset > 0) offset += g_plan.seek_elsewhere;
  c->pos = offset;
  return offset;
}

int64_t d_offset(void* vc) { return static_cast<ctx*>(vc)->pos; }
int64_t d_size(void* vc) {
  if (static_cast<ctx*>(vc)->writer) return static_cast<int64_t>(g_written.size());
  return size_of();
}

long d_write(void* vc, const void* buf, size_t size) {
  ctx* c = static_cast<ctx*>(vc);
  if (!c->writer) return -1;
  const size_t end = static_cast<size_t>(c->pos) + size;
  if (g_written.size() < end) g_written.resize(end);
  memcpy(g_written.data() + c->pos, buf, size);
  c->pos += static_cast<int64_t>(size);
  return static_cast<long>(size);
}

int d_truncate(void* vc, int64_t length) {
  if (!static_cast<ctx*>(vc)->writer || length < 0) return 0;
  g_written.resize(static_cast<size_t>(length));
  return 1;
}

int d_sync(void* vc) { return static_cast<ctx*>(vc)->writer && !g_plan.sync_fails ? 1 : 0; }

// Each piece read at its place with the faults of the plan.
int d_pieces(ctx* c, tb_file_pieces* p) {
  if (!g_plan.pieces) return 0;
  const int64_t end = p->offset + p->size;
  p->done = 0;
  for (int64_t pos = p->offset; pos < end && p->done < p->count;) {
    const int64_t piece_end = std::min(end, (pos / p->grid + 1) * p->grid);
    c->pos = pos;
    const long r = read_at(c, static_cast<char*>(p->data) + (pos - p->offset), size_t(piece_end - pos));
    if (c->dead) {
      p->result = -1;
      return 1;
    }
    p->piece[p->done++] = {int32_t(r), c->ioerr};
    pos = piece_end;
  }
  c->pos = end;
  p->position = end;
  p->result = 0;
  return 1;
}

int d_ctrl(void* vc, int code, void* arg, size_t arg_size) {
  ctx* c = static_cast<ctx*>(vc);
  if (code == TB_FILE_CTRL_READ_PIECES && arg) return d_pieces(c, static_cast<tb_file_pieces*>(arg));
  if (code == TB_FILE_CTRL_IOERR && arg && arg_size >= sizeof(int32_t)) {
    memcpy(arg, &c->ioerr, sizeof(int32_t));
    return 1;
  }
  if (code == TB_FILE_CTRL_WRITEBACK && arg && c->writer) {
    const auto* r = static_cast<const tb_file_range*>(arg);
    g_writebacks.emplace_back(r->offset, r->size);
    return g_plan.writeback_fails ? 0 : 1;
  }
  if (code == TB_FILE_CTRL_DEVINFO && arg) {
    tb_file_devinfo info{c->ioerr, size_of(), c->pos, 512};
    memcpy(arg, &info, std::min(arg_size, sizeof info));
    return 1;
  }
  return 0;
}

tb_file_driver make_driver() {
  tb_file_driver d{};
  d.name = "krp";
  d.open = d_open;
  d.close = d_close;
  d.read = d_read;
  d.write = d_write;
  d.sync = d_sync;
  d.truncate = d_truncate;
  d.seek = d_seek;
  d.offset = d_offset;
  d.size = d_size;
  d.ctrl = d_ctrl;
  return d;
}

const tb_file_driver kDriver = make_driver();

}  // namespace

void fault_driver_register() {
  static bool done = false;
  if (!done) {
    done = tb_file_register_driver(&kDriver) == 0;
  }
}

void fault_reset() {
  g_plan = fault_plan{};
  g_opens = 0;
  g_high_water = 0;
  g_sector_reads = 0;
  g_written.clear();
  g_writebacks.clear();
}

void FaultDriverTest::SetUpTestSuite() {
  tb_init(nullptr, nullptr, 0, 0);
  fault_driver_register();
}

void FaultDriverTest::SetUp() {
  kit::log_capture_start();
  krsd_ui_set(nullptr);
  fault_reset();
}

}  // namespace kt
