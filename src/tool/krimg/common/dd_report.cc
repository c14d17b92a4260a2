#include "dd_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "dd_host.h"
#include "dd_record.h"
#include "dd_text.h"
#include "krdd.h"
#include "krii_version.h"
#include "os/os_human.h"
#include "os/os_log.h"
#include "tb_file.h"
#include "tb_ipaddr.h"
#include "tb_url.h"

#define KR_LOG_SRC "src\\tool\\krimg\\common\\dd_report"

using nlohmann::json;

namespace {

constexpr int64_t kMaxReport = int64_t{64} << 20;

std::string errno_text(int code) {
  char text[200];
  os_error_text(code, text, sizeof text);
  return text;
}

// Every text that goes into the report is UTF-8 (JSON knows no other).
std::string u8(const std::string& s) { return dd_host_utf8(s); }

bool read_all(const std::string& path, std::string* text, std::string* error) {
  tb_file_ref_t f = tb_file_init(path.c_str(), FILE_MODE_READ);
  if (!f) {
    *error = "open [" + path + "] error [" + errno_text(errno) + "]";
    return false;
  }
  const int64_t size = tb_file_size(f);
  if (size < 0 || size > kMaxReport) {
    tb_file_close(f);
    *error = "size [" + path + "] error";
    return false;
  }
  text->resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < text->size()) {
    long r = tb_file_read(f, text->data() + done, text->size() - done);
    if (r < 0) {
      const int err = errno;
      tb_file_close(f);
      *error = "read [" + path + "] error [" + errno_text(err) + "]";
      return false;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  tb_file_close(f);
  text->resize(done);
  return true;
}

// Writes text to path through a temporary file beside it, synced, then
// renamed over path: a crash leaves the old file or the new, never half; a
// failure leaves the old file and no temporary one.
bool write_atomic(const std::string& path, const std::string& text, std::string* error) {
  const std::string tmp = path + ".tmp";
  tb_file_ref_t f = tb_file_init(tmp.c_str(), FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_TRUNCATE);
  bool ok = f != nullptr;
  int err = errno;
  size_t done = 0;
  while (ok && done < text.size()) {
    long w = tb_file_write(f, text.data() + done, text.size() - done);
    if (w <= 0) {
      ok = false;
      err = w < 0 ? errno : ENOSPC;
    } else {
      done += static_cast<size_t>(w);
    }
  }
  if (ok && !tb_file_sync(f)) {
    ok = false;
    err = errno;
  }
  if (f && !tb_file_close(f) && ok) {
    ok = false;
    err = errno;
  }
  if (ok && tb_file_rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    if (f) {
      char sys[4096];
      if (tb_file_system_path(tmp.c_str(), sys, sizeof sys)) std::remove(sys);
    }
    *error = "write [" + path + "] error [" + errno_text(err) + "]";
  }
  return ok;
}

json ranges_json(const std::vector<dd_range>& ranges) {
  json a = json::array();
  for (const auto& r : ranges) a.push_back(json::array({r.start, r.end}));
  return a;
}

json range_list(int64_t from, int64_t to) {
  json a = json::array();
  if (to > from) a.push_back(json::array({from, to}));
  return a;
}

// The source as given (a password masked) and what it names: the file the
// file layer opens for a local name, the address a daemon's host name
// resolves to.
json source_json(const std::string& given) {
  json s = {{"given", u8(dd_source_label(given))}};
  tb_url_t url;
  if (!tb_url_init(&url)) return s;
  const bool parsed = tb_url_text_set(&url, given.c_str());
  if (parsed && tb_url_protocol(&url) == TB_URL_PROTOCOL_KRP) {
    const char* host = tb_url_host(&url);
    s["address"] = u8(host ? host : "");
    s["port"] = tb_url_port(&url);
    s["tls"] = tb_url_ssl(&url);
    tb_ipaddr_t addr;
    tb_ipaddr_clear(&addr);
    char text[80];
    if (host && tb_addrinfo_addr(host, &addr) && tb_ipaddr_ip_text(&addr, text, sizeof text))
      s["resolved"] = u8(std::string(tb_url_ssl(&url) ? "krps://" : "krp://") + text + ":" +
                         std::to_string(tb_url_port(&url)) + (tb_url_path(&url) ? tb_url_path(&url) : ""));
    const std::string& fp = G.rec->peer_sha256;
    s["server_certificate_sha256"] = fp.empty() ? json(nullptr) : json(fp);
  } else if (parsed && tb_url_protocol(&url) == TB_URL_PROTOCOL_FILE && !url.local) {
    // A file URL: the file its decoded path names, as the job opened it.
    char sys[4096];
    if (tb_file_system_path(given.c_str(), sys, sizeof sys)) s["resolved"] = u8(sys);
  } else if (tb_url_protocol_probe(given.c_str()) == TB_URL_PROTOCOL_FILE) {
    // The very name the engine opened, by the same naming rules.
    char sys[4096];
    if (tb_file_system_path(given.c_str(), sys, sizeof sys)) s["resolved"] = u8(sys);
  }
  tb_url_exit(&url);
  return s;
}

// The image's size as the job leaves it: a resume that stopped inside the
// old tail leaves the rest of it in place.
int64_t image_size_now() { return std::max(G.o_offset, G.rec->reread_to); }

std::vector<dd_range> image_unreadable() {
  std::vector<dd_range> all = G.rec->history_unreadable;
  for (const dd_range& r : G.bad_ranges) dd_ranges_add(&all, r);
  return all;
}

// The run of the job in G.
json run_json(int result) {
  const dd_job_record& R = *G.rec;
  const bool resume = dd_flag(DD_RESUME);
  json run = {
      {"program", R.info.program.empty() ? "krii" : R.info.program},
      {"version", KRII_VERSION},
      {"host", u8(dd_report_host())},
      {"user", u8(dd_report_user())},
      {"started", dd_report_time_text(R.start_s)},
      {"ended", R.end_s ? json(dd_report_time_text(R.end_s)) : json(nullptr)},
      {"mode", resume ? "resume" : "new"},
      {"wrote_image", R.image_opened},
      {"source", source_json(G.infile)},
      {"device", R.source_seen ? json{{"size", G.in_size},
                                      {"sector_size", R.sector_bytes ? R.sector_bytes : G.sector_bytes}}
                               : json(nullptr)},
      {"image_from", G.o_offset - G.total_bytes},
      {"image_to", G.o_offset},
      {"bytes_copied", G.total_bytes},
      {"unreadable", ranges_json(G.bad_ranges)},
      {"retries", json::array()},
      {"run_id", R.run_id},
      {"result", result},
      {"result_text", result < 0 ? "running, or ended without a word (killed, power failure)"
                                 : dd_result_text(result)},
      {"complete", R.complete},
  };
  if (!R.outcome.empty()) run["outcome"] = R.outcome;
  if (result > 0 && !R.cause.empty()) run["cause"] = u8(R.cause);
  for (const auto& r : R.retries)
    run["retries"].push_back(
        {{"time", r.time}, {"offset", r.offset}, {"result", r.result}, {"cause", u8(r.cause)}});
  if (resume) {
    json check = {{"image_bytes", R.checked ? R.check.size : R.reread_to},
                  {"verified_to", R.resume_from}};
    const dd_image_check& c = R.check;
    if (c.differs()) {
      check["state"] = "differs";
      check["piece"] = c.bad_piece;
      check["piece_bytes"] = json::array({c.bad_from, c.bad_to});
    } else if (!c.have_record) {
      check["state"] = c.record_error.empty() ? "not verified against a record" : "record unreadable";
      if (!c.record_error.empty()) check["record_error"] = u8(c.record_error);
    } else {
      check["state"] = c.verified == c.size ? "verified" : "verified in part";
    }
    if (R.earlier_source_size > 0) check["earlier_device_size"] = R.earlier_source_size;
    if (R.sample.blocks > 0)
      check["sample"] = {{"blocks", R.sample.blocks},
                         {"compared", R.sample.compared},
                         {"differing", R.sample.differing}};
    run["resume_check"] = check;
    if (R.reread_done > 0)
      run["reread"] = {{"from", R.resume_from},
                       {"to", R.resume_from + R.reread_done},
                       {"differing", ranges_json(R.rewritten)},
                       {"differing_bytes", dd_ranges_bytes(R.rewritten)}};
  }
  if (!R.sidecar_error.empty()) run["sidecar_error"] = u8(R.sidecar_error);
  if (R.complete) {
    run["md5"] = dd_hex(R.whole.md5);
    run["sha256"] = dd_hex(R.whole.sha256);
  }
  return run;
}

// What the image holds now and where each part of it came from, as the job
// in G leaves it.
json summary_json(const json& run) {
  const dd_job_record& R = *G.rec;
  const bool resume = dd_flag(DD_RESUME);
  const int64_t from = resume ? R.resume_from : 0;
  const int64_t reread_end = resume ? std::min(std::max(R.reread_to, from), G.o_offset) : from;
  json image = {
      {"size", image_size_now()},
      {"complete", R.complete},
      {"result", run["result"]},
      {"result_text", run["result_text"]},
      {"unreadable", ranges_json(image_unreadable())},
      {"unreadable_known", R.history_known},
      {"verified", range_list(0, from)},
      {"reread", range_list(from, reread_end)},
      {"rewritten", ranges_json(R.rewritten)},
      {"copied", range_list(std::max(reread_end, from), G.o_offset)},
      {"not_verified", range_list(G.o_offset, resume ? R.reread_to : 0)},
  };
  if (!R.history_known) image["unreadable_unknown"] = range_list(0, from);
  if (run.contains("outcome")) image["outcome"] = run["outcome"];
  if (R.complete) {
    image["md5"] = run["md5"];
    image["sha256"] = run["sha256"];
  }
  image["format"] = R.format.kind == DD_FORMAT_E01 ? "E01" : "raw";
  if (R.format.kind == DD_FORMAT_E01) {
    // The size and digests above are of the media the container holds.
    static const char* const kCompress[] = {"none", "fast", "best"};
    image["e01"] = {{"bytes_per_sector", R.ewf_sector},
                    {"compression", kCompress[std::clamp(R.ewf_compress, 0, 2)]},
                    {"segment_size", R.format.segment_bytes}};
    if (R.complete && !R.sha1.empty()) image["sha1"] = R.sha1;
  }
  return image;
}

// Reading a report another program (or a damaged disk) wrote: a value of
// the wrong kind is treated as missing, never trusted.
std::string jstr(const json& j, const char* key) {
  if (!j.is_object()) return "";
  auto it = j.find(key);
  if (it == j.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

bool jbool(const json& j, const char* key, bool def) {
  if (!j.is_object()) return def;
  auto it = j.find(key);
  return it != j.end() && it->is_boolean() ? it->get<bool>() : def;
}

const json& jobj(const json& j, const char* key) {
  static const json empty = json::object();
  if (!j.is_object()) return empty;
  auto it = j.find(key);
  return it != j.end() && it->is_object() ? *it : empty;
}

const json& jarr(const json& j, const char* key) {
  static const json empty = json::array();
  if (!j.is_object()) return empty;
  auto it = j.find(key);
  return it != j.end() && it->is_array() ? *it : empty;
}

// A text of the report as one line of the paper form.
std::string esc(const std::string& s) { return dd_utf8_escape(s, true); }
std::string tstr(const json& j, const char* key) { return esc(jstr(j, key)); }

bool is_range(const json& r) {
  return r.is_array() && r.size() == 2 && r[0].is_number_integer() && r[1].is_number_integer();
}

std::string range_text(const json& r) {
  if (!is_range(r)) return esc(r.dump());
  const int64_t from = r[0].get<int64_t>(), to = r[1].get<int64_t>();
  return std::to_string(from) + " - " + std::to_string(to - 1) + " (" + std::to_string(to - from) +
         " bytes)";
}

std::string ranges_text(const json& a) {
  std::string out;
  for (const auto& r : a) out += (out.empty() ? "" : ", ") + range_text(r);
  return out;
}

bool hex_of(const json& j, const char* key, size_t digits) {
  auto it = j.find(key);
  if (it == j.end() || it->is_null()) return true;
  if (!it->is_string() || it->get<std::string>().size() != digits) return false;
  for (char c : it->get<std::string>())
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

std::string dd_report_json_path(const std::string& image) { return image + ".json"; }
std::string dd_report_text_path(const std::string& image) { return image + ".txt"; }

std::string dd_report_check(const json& report) {
  if (!report.is_object()) return "not an object";
  for (const char* key : {"runs", "verifications"}) {
    auto it = report.find(key);
    if (it == report.end()) continue;
    if (!it->is_array()) return std::string(key) + " is not a list";
    for (const auto& e : *it)
      if (!e.is_object()) return std::string(key) + " holds a value that is not an object";
  }
  auto it = report.find("image");
  if (it != report.end()) {
    const json& image = *it;
    if (!image.is_object()) return "image is not an object";
    if (image.contains("complete") && !image["complete"].is_boolean()) return "image.complete is not true or false";
    if (image.contains("size") && !image["size"].is_number_integer()) return "image.size is not a number";
    if (!hex_of(image, "md5", 32)) return "image.md5 is not an MD5";
    if (!hex_of(image, "sha256", 64)) return "image.sha256 is not a SHA-256";
    if (image.contains("unreadable")) {
      if (!image["unreadable"].is_array()) return "image.unreadable is not a list";
      for (const auto& r : image["unreadable"])
        if (!is_range(r)) return "image.unreadable holds a value that is not a range";
    }
  }
  return "";
}

void dd_report_add_run(json& report, const json& run, const json* summary) {
  if (!report.is_object() || !report.contains("runs") || !report["runs"].is_array())
    report = {{"format", "krii-report"}, {"runs", json::array()}};
  report["format_version"] = DD_REPORT_FORMAT_VERSION;
  json& all = report["runs"];
  if (!all.empty() && all.back().is_object() && run.contains("run_id") &&
      jstr(all.back(), "run_id") == run["run_id"])
    all.back() = run;  // the entry this job wrote when it started
  else
    all.push_back(run);
  if (!summary) return;
  // The runs the image is made of: those since the last one that wrote it
  // anew. Runs that never wrote it (refused, or the source not opened) are
  // on record but not part of it.
  json image = *summary;
  size_t first = 0;
  for (size_t i = 0; i < all.size(); ++i)
    if (jbool(all[i], "wrote_image", true) && jstr(all[i], "mode") == "new") first = i;
  image["runs"] = json::array();
  for (size_t i = first; i < all.size(); ++i)
    if (jbool(all[i], "wrote_image", true)) image["runs"].push_back(i + 1);
  report["image"] = image;
}

std::string dd_report_text(const json& report) {
  std::ostringstream o;
  const json& image = jobj(report, "image");
  o << "krii acquisition report\n";
  o << "=======================\n\n";
  o << "Image:            " << tstr(report, "image_path") << "\n";
  const json& cs = jobj(report, "case");
  for (const auto& [label, key] : {std::pair{"Case:             ", "case"},
                                   std::pair{"Evidence:         ", "evidence"},
                                   std::pair{"Examiner:         ", "examiner"},
                                   std::pair{"Notes:            ", "notes"}})
    if (!jstr(cs, key).empty()) o << label << tstr(cs, key) << "\n";
  o << "Result:           " << tstr(image, "result") << " (" << tstr(image, "result_text") << ")\n";
  if (!jstr(image, "outcome").empty()) o << "Outcome:          " << tstr(image, "outcome") << "\n";
  if (jstr(image, "format") == "E01") {
    const json& e = jobj(image, "e01");
    o << "Format:           E01 (sector " << tstr(e, "bytes_per_sector") << " bytes, compression "
      << tstr(e, "compression") << ", segments of " << tstr(e, "segment_size") << " bytes); size and hashes are of its media\n";
  }
  o << "Image size:       " << tstr(image, "size") << " bytes\n";
  if (jbool(image, "complete", false)) {
    o << "MD5:              " << tstr(image, "md5") << "\n";
    if (!jstr(image, "sha1").empty()) o << "SHA-1:            " << tstr(image, "sha1") << "\n";
    o << "SHA-256:          " << tstr(image, "sha256") << "\n";
  } else {
    o << "Hashes:           none (the image does not hold the whole source)\n";
  }
  for (const auto& [label, key] :
       {std::pair{"Verified:         ", "verified"}, std::pair{"Read again:       ", "reread"},
        std::pair{"Rewritten:        ", "rewritten"}, std::pair{"Copied:           ", "copied"},
        std::pair{"Not verified:     ", "not_verified"}})
    if (!jarr(image, key).empty()) o << label << ranges_text(jarr(image, key)) << "\n";
  const json& unreadable = jarr(image, "unreadable");
  const json& unknown = jarr(image, "unreadable_unknown");
  o << "Unreadable bytes: ";
  if (!unknown.empty())
    o << "not known for " << ranges_text(unknown) << " (no record of them)" << (unreadable.empty() ? "" : "; known:");
  else if (unreadable.empty())
    o << "none";
  o << "\n";
  for (const auto& r : unreadable) o << "  " << range_text(r) << " (written as zeros)\n";
  for (const auto& v : jarr(report, "verifications")) {
    o << "Verification:     " << tstr(v, "time") << " by " << tstr(v, "program") << " " << tstr(v, "version")
      << ": " << tstr(v, "result_text") << " (size " << tstr(v, "size") << ", MD5 " << tstr(v, "md5") << ")\n";
  }
  const json& runs = jarr(report, "runs");
  for (size_t i = 0; i < runs.size(); ++i) {
    const json& r = runs[i];
    o << "\nRun " << i + 1 << " (" << tstr(r, "mode")
      << (jbool(r, "wrote_image", true) ? "" : ", did not write the image") << ")\n";
    o << "  Program:        " << tstr(r, "program") << " " << tstr(r, "version") << "\n";
    o << "  Host, user:     " << tstr(r, "host") << ", " << tstr(r, "user") << "\n";
    o << "  Started:        " << tstr(r, "started") << "\n";
    o << "  Ended:          " << (jstr(r, "ended").empty() ? "never (killed, or still running)" : tstr(r, "ended"))
      << "\n";
    const json& src = jobj(r, "source");
    o << "  Source:         " << tstr(src, "given") << "\n";
    if (!jstr(src, "resolved").empty()) o << "  Resolved:       " << tstr(src, "resolved") << "\n";
    if (src.contains("address")) {
      o << "  Daemon:         " << tstr(src, "address") << " port " << tstr(src, "port")
        << (jbool(src, "tls", false) ? ", TLS" : ", no TLS") << "\n";
      if (!jstr(src, "server_certificate_sha256").empty())
        o << "  Certificate:    SHA-256 " << tstr(src, "server_certificate_sha256") << "\n";
    }
    const json& dev = jobj(r, "device");
    if (dev.empty())
      o << "  Device:         not opened\n";
    else
      o << "  Device:         " << tstr(dev, "size") << " bytes, sector " << tstr(dev, "sector_size") << "\n";
    o << "  Image bytes:    " << tstr(r, "image_from") << " - " << tstr(r, "image_to") << " ("
      << tstr(r, "bytes_copied") << " copied)\n";
    if (r.contains("resume_check")) {
      const json& c = jobj(r, "resume_check");
      o << "  Resume check:   " << tstr(c, "state") << ": bytes 0 - " << tstr(c, "verified_to") << " of "
        << tstr(c, "image_bytes") << " verified";
      if (c.contains("piece")) o << "; piece " << tstr(c, "piece") << " " << esc(c["piece_bytes"].dump()) << " differs";
      o << "\n";
      const json& s = jobj(c, "sample");
      if (!s.empty())
        o << "  Source sample:  " << tstr(s, "compared") << " blocks compared, " << tstr(s, "differing")
          << " differed\n";
    }
    if (r.contains("reread")) {
      const json& rr = jobj(r, "reread");
      o << "  Read again:     " << tstr(rr, "from") << " - " << tstr(rr, "to") << ", "
        << tstr(rr, "differing_bytes") << " bytes differed from the image";
      if (!jarr(rr, "differing").empty()) o << ": " << ranges_text(jarr(rr, "differing"));
      o << "\n";
    }
    for (const auto& u : jarr(r, "unreadable")) o << "  Unreadable:     " << range_text(u) << "\n";
    for (const auto& t : jarr(r, "retries"))
      o << "  Retry:          " << tstr(t, "time") << " at " << tstr(t, "offset") << ": " << tstr(t, "cause") << "\n";
    if (r.contains("sidecar_error")) o << "  Piece record:   " << tstr(r, "sidecar_error") << "\n";
    o << "  Result:         " << tstr(r, "result") << " (" << tstr(r, "result_text") << ")\n";
    if (r.contains("cause")) o << "  Cause:          " << tstr(r, "cause") << "\n";
    if (r.contains("outcome")) o << "  Outcome:        " << tstr(r, "outcome") << "\n";
    if (r.contains("md5")) o << "  MD5:            " << tstr(r, "md5") << "\n  SHA-256:        " << tstr(r, "sha256") << "\n";
  }
  return o.str();
}

bool dd_report_load(const std::string& image, json* out, std::string* error) {
  const std::string path = dd_report_json_path(image);
  if (tb_file_local_kind(path.c_str()) != 1) {
    *error = "no report [" + path + "]";
    return false;
  }
  std::string text;
  if (!read_all(path, &text, error)) return false;
  *out = json::parse(text, nullptr, false);
  const std::string why = out->is_discarded() ? "not JSON" : dd_report_check(*out);
  if (!why.empty()) {
    *error = "[" + path + "] is not a report (" + why + ")";
    *out = json();
    return false;
  }
  return true;
}

namespace {

// Writes both forms of report.
bool write_report(const std::string& image, const json& report, std::string* path, std::string* error) {
  // The text report is the JSON's rendering; written second, so a crash in
  // between leaves the JSON complete.
  if (!write_atomic(dd_report_json_path(image), report.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
                    error))
    return false;
  *path = dd_report_text_path(image);
  return write_atomic(*path, dd_report_text(report), error);
}

}  // namespace

bool dd_report_write(int result, std::string* path, std::string* error) {
  const std::string image = G.outfile;
  const std::string jpath = dd_report_json_path(image);
  json report;
  std::string load_error;
  if (tb_file_local_kind(jpath.c_str()) == 1 && !dd_report_load(image, &report, &load_error)) {
    // Never lose an earlier record: a report that cannot be read is kept
    // under another name and a new one begun, and the examiner is told.
    const std::string aside = jpath + ".unreadable-" + std::to_string(dd_report_now());
    if (tb_file_rename(jpath.c_str(), aside.c_str()) != 0) {
      *error = load_error;
      return false;
    }
    KR_LOG(OS_LOG_ERR, "%s error\n", load_error.c_str());
    KR_LOG(OS_LOG_INFO, "原报告无法读取, 已另存为 %s; 新报告从本次任务开始\n", aside.c_str());
    report = json();
  }
  const json run = run_json(result);
  const json summary = summary_json(run);
  dd_report_add_run(report, run, G.rec->image_opened ? &summary : nullptr);
  report["image_path"] = u8(image);
  const dd_case_info& info = G.rec->info;
  json& c = report["case"];
  if (!c.is_object()) c = json::object();
  // A field given now replaces the earlier one; one not given keeps it.
  for (const auto& [key, value] : {std::pair{"case", &info.case_id}, std::pair{"evidence", &info.evidence},
                                   std::pair{"examiner", &info.examiner}, std::pair{"notes", &info.notes}})
    if (!value->empty()) c[key] = dd_utf8_escape(*value, false);  // UTF-8 already (dd_case_info)
  return write_report(image, report, path, error);
}

bool dd_report_add_verification(const std::string& image, const json& entry, std::string* error) {
  json report;
  if (!dd_report_load(image, &report, error)) return false;
  json& v = report["verifications"];
  if (!v.is_array()) v = json::array();
  v.push_back(entry);
  std::string path;
  return write_report(image, report, &path, error);
}
