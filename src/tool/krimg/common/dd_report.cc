#include "dd_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "dd_record.h"
#include "krdd.h"
#include "krii_version.h"
#include "os/os_human.h"
#include "tb_file.h"
#include "tb_ipaddr.h"
#include "tb_url.h"

using nlohmann::json;

namespace {

constexpr int64_t kMaxReport = int64_t{64} << 20;

std::string errno_text(int code) {
  char text[200];
  os_error_text(code, text, sizeof text);
  return text;
}

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
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  tb_file_close(f);
  text->resize(done);
  return true;
}

// Writes text to path through a temporary file beside it, synced, then
// renamed over path: a crash leaves the old file or the new, never half.
bool write_atomic(const std::string& path, const std::string& text, std::string* error) {
  const std::string tmp = path + ".tmp";
  tb_file_ref_t f = tb_file_init(tmp.c_str(), FILE_MODE_CREATE | FILE_MODE_WRITE | FILE_MODE_TRUNCATE);
  bool ok = f != nullptr;
  size_t done = 0;
  while (ok && done < text.size()) {
    long w = tb_file_write(f, text.data() + done, text.size() - done);
    if (w <= 0) ok = false;
    else done += static_cast<size_t>(w);
  }
  if (ok) ok = tb_file_sync(f) != 0;
  int err = errno;
  if (f && !tb_file_close(f) && ok) {
    ok = false;
    err = errno;
  }
  if (ok && tb_file_rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) *error = "write [" + path + "] error [" + errno_text(err) + "]";
  return ok;
}

json ranges_json(const std::vector<dd_range>& ranges) {
  json a = json::array();
  for (const auto& r : ranges) a.push_back(json::array({r.start, r.end}));
  return a;
}

// The source as given and what it names: the absolute path of a local
// file, the address a daemon's host name resolves to.
json source_json(const std::string& given) {
  json s = {{"given", given}};
  tb_url_t url;
  if (!tb_url_init(&url)) return s;
  const bool parsed = tb_url_text_set(&url, given.c_str());
  if (parsed && tb_url_protocol(&url) == TB_URL_PROTOCOL_KRP) {
    const char* host = tb_url_host(&url);
    s["address"] = host ? host : "";
    s["port"] = tb_url_port(&url);
    s["tls"] = tb_url_ssl(&url);
    tb_ipaddr_t addr;
    tb_ipaddr_clear(&addr);
    char text[80];
    if (host && tb_addrinfo_addr(host, &addr) && tb_ipaddr_ip_text(&addr, text, sizeof text))
      s["resolved"] = std::string(tb_url_ssl(&url) ? "krps://" : "krp://") + text + ":" +
                      std::to_string(tb_url_port(&url)) + (tb_url_path(&url) ? tb_url_path(&url) : "");
    const std::string& fp = G.rec->peer_sha256;
    s["server_certificate_sha256"] = fp.empty() ? json(nullptr) : json(fp);
  } else if (parsed && tb_url_protocol(&url) == TB_URL_PROTOCOL_FILE && !url.local) {
    // A file URL: the file its decoded path names, as the job opened it.
    char sys[4096];
    if (tb_file_system_path(given.c_str(), sys, sizeof sys)) s["resolved"] = sys;
  } else if (tb_url_protocol_probe(given.c_str()) == TB_URL_PROTOCOL_FILE) {
    char abs[4096];
    if (tb_path_absolute(given.c_str(), abs, sizeof abs)) s["resolved"] = abs;
  }
  tb_url_exit(&url);
  return s;
}

// The run of the job in G.
json run_json(int result) {
  const dd_job_record& R = *G.rec;
  json run = {
      {"program", R.info.program.empty() ? "krii" : R.info.program},
      {"version", KRII_VERSION},
      {"host", dd_report_host()},
      {"user", dd_report_user()},
      {"started", dd_report_time_text(R.start_s)},
      {"ended", R.end_s ? json(dd_report_time_text(R.end_s)) : json(nullptr)},
      {"mode", dd_flag(DD_RESUME) ? "resume" : "new"},
      {"source", source_json(G.infile)},
      {"device", {{"size", G.in_size}, {"sector_size", R.sector_bytes ? R.sector_bytes : G.sector_bytes}}},
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
  for (const auto& r : R.retries)
    run["retries"].push_back(
        {{"time", r.time}, {"offset", r.offset}, {"result", r.result}, {"cause", r.cause}});
  if (R.checked) {
    const dd_image_check& c = R.check;
    json check = {{"image_bytes", c.size}, {"verified_to", c.verified}};
    if (c.differs()) {
      check["state"] = "differs";
      check["piece"] = c.bad_piece;
      check["piece_bytes"] = json::array({c.bad_from, c.bad_to});
    } else if (!c.have_record) {
      check["state"] = c.record_error.empty() ? "not verified against a record" : "record unreadable";
      if (!c.record_error.empty()) check["record_error"] = c.record_error;
    } else {
      check["state"] = c.verified == c.size ? "verified" : "verified in part";
    }
    run["resume_check"] = check;
  }
  if (!R.sidecar_error.empty()) run["sidecar_error"] = R.sidecar_error;
  if (R.complete) {
    run["md5"] = dd_hex(R.whole.md5);
    run["sha256"] = dd_hex(R.whole.sha256);
  }
  return run;
}

std::string range_text(const json& r) {
  const int64_t from = r.at(0).get<int64_t>(), to = r.at(1).get<int64_t>();
  return std::to_string(from) + " - " + std::to_string(to - 1) + " (" + std::to_string(to - from) +
         " bytes)";
}

std::string str(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

std::string dd_report_json_path(const std::string& image) { return image + ".json"; }
std::string dd_report_text_path(const std::string& image) { return image + ".txt"; }

json dd_report_merge_ranges(const json& ranges) {
  std::vector<std::pair<int64_t, int64_t>> v;
  for (const auto& r : ranges)
    if (r.is_array() && r.size() == 2 && r[0].is_number_integer() && r[1].is_number_integer())
      v.emplace_back(r[0].get<int64_t>(), r[1].get<int64_t>());
  std::sort(v.begin(), v.end());
  json out = json::array();
  for (const auto& [from, to] : v) {
    if (!out.empty() && from <= out.back()[1].get<int64_t>()) {
      if (to > out.back()[1].get<int64_t>()) out.back()[1] = to;
    } else {
      out.push_back(json::array({from, to}));
    }
  }
  return out;
}

void dd_report_add_run(json& report, const json& run) {
  if (!report.is_object() || !report.contains("runs") || !report["runs"].is_array())
    report = {{"format", "krii-report"}, {"format_version", 1}, {"runs", json::array()}};
  json& all = report["runs"];
  if (!all.empty() && all.back().is_object() && run.contains("run_id") &&
      all.back().value("run_id", "") == run["run_id"])
    all.back() = run;  // the entry this job wrote when it started
  else
    all.push_back(run);
  // The image as it is now: the runs since the last one that started it anew.
  const json& runs = report["runs"];
  size_t first = 0;
  for (size_t i = 0; i < runs.size(); ++i)
    if (str(runs[i], "mode") == "new") first = i;
  json unreadable = json::array();
  for (size_t i = first; i < runs.size(); ++i)
    if (runs[i].contains("unreadable"))
      for (const auto& r : runs[i]["unreadable"]) unreadable.push_back(r);
  json image = {
      {"size", run.value("image_to", int64_t{0})},
      {"runs", json::array()},
      {"unreadable", dd_report_merge_ranges(unreadable)},
      {"complete", run.value("complete", false)},
      {"result", run.value("result", -1)},
      {"result_text", run.value("result_text", "")},
  };
  for (size_t i = first; i < runs.size(); ++i) image["runs"].push_back(i + 1);
  if (image["complete"].get<bool>()) {
    image["md5"] = run["md5"];
    image["sha256"] = run["sha256"];
  }
  report["image"] = image;
}

std::string dd_report_text(const json& report) {
  std::ostringstream o;
  const json& image = report.value("image", json::object());
  o << "krii acquisition report\n";
  o << "=======================\n\n";
  o << "Image:            " << str(report, "image_path") << "\n";
  if (report.contains("case"))
    for (const auto& [label, key] : {std::pair{"Case:             ", "case"},
                                     std::pair{"Evidence:         ", "evidence"},
                                     std::pair{"Examiner:         ", "examiner"},
                                     std::pair{"Notes:            ", "notes"}})
      if (!str(report["case"], key).empty()) o << label << str(report["case"], key) << "\n";
  o << "Result:           " << str(image, "result") << " (" << str(image, "result_text") << ")\n";
  o << "Image size:       " << str(image, "size") << " bytes\n";
  if (image.value("complete", false)) {
    o << "MD5:              " << str(image, "md5") << "\n";
    o << "SHA-256:          " << str(image, "sha256") << "\n";
  } else {
    o << "Hashes:           none (the image does not hold the whole source)\n";
  }
  const json unreadable = image.value("unreadable", json::array());
  o << "Unreadable bytes: " << (unreadable.empty() ? "none" : "") << "\n";
  for (const auto& r : unreadable) o << "  " << range_text(r) << " (written as zeros)\n";
  const json runs = report.value("runs", json::array());
  for (size_t i = 0; i < runs.size(); ++i) {
    const json& r = runs[i];
    o << "\nRun " << i + 1 << " (" << str(r, "mode") << ")\n";
    o << "  Program:        " << str(r, "program") << " " << str(r, "version") << "\n";
    o << "  Host, user:     " << str(r, "host") << ", " << str(r, "user") << "\n";
    o << "  Started:        " << str(r, "started") << "\n";
    o << "  Ended:          " << str(r, "ended") << "\n";
    const json src = r.value("source", json::object());
    o << "  Source:         " << str(src, "given") << "\n";
    if (!str(src, "resolved").empty()) o << "  Resolved:       " << str(src, "resolved") << "\n";
    if (src.contains("address")) {
      o << "  Daemon:         " << str(src, "address") << " port " << str(src, "port")
        << (src.value("tls", false) ? ", TLS" : ", no TLS") << "\n";
      if (!str(src, "server_certificate_sha256").empty())
        o << "  Certificate:    SHA-256 " << str(src, "server_certificate_sha256") << "\n";
    }
    const json dev = r.value("device", json::object());
    o << "  Device:         " << str(dev, "size") << " bytes, sector " << str(dev, "sector_size") << "\n";
    o << "  Image bytes:    " << str(r, "image_from") << " - " << str(r, "image_to") << " ("
      << str(r, "bytes_copied") << " copied)\n";
    if (r.contains("resume_check")) {
      const json& c = r["resume_check"];
      o << "  Resume check:   " << str(c, "state") << ": bytes 0 - " << str(c, "verified_to")
        << " of " << str(c, "image_bytes") << " verified";
      if (c.contains("piece")) o << "; piece " << str(c, "piece") << " " << str(c, "piece_bytes") << " differs";
      o << "\n";
    }
    for (const auto& u : r.value("unreadable", json::array())) o << "  Unreadable:     " << range_text(u) << "\n";
    for (const auto& t : r.value("retries", json::array()))
      o << "  Retry:          " << str(t, "time") << " at " << str(t, "offset") << ": " << str(t, "cause") << "\n";
    if (r.contains("sidecar_error")) o << "  Piece record:   " << str(r, "sidecar_error") << "\n";
    o << "  Result:         " << str(r, "result") << " (" << str(r, "result_text") << ")\n";
    if (r.contains("md5")) o << "  MD5:            " << str(r, "md5") << "\n  SHA-256:        " << str(r, "sha256") << "\n";
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
  if (out->is_discarded() || !out->is_object()) {
    *error = "[" + path + "] is not a report";
    return false;
  }
  return true;
}

bool dd_report_write(int result, std::string* path, std::string* error) {
  const std::string image = G.outfile;
  const std::string jpath = dd_report_json_path(image);
  json report;
  std::string load_error;
  if (tb_file_local_kind(jpath.c_str()) == 1 && !dd_report_load(image, &report, &load_error)) {
    // Never lose an earlier record: a report that cannot be read is kept
    // under another name and a new one begun.
    const std::string aside = jpath + ".unreadable-" + std::to_string(dd_report_now());
    if (tb_file_rename(jpath.c_str(), aside.c_str()) != 0) {
      *error = load_error;
      return false;
    }
    report = json();
  }
  dd_report_add_run(report, run_json(result));
  report["image_path"] = image;
  const dd_case_info& info = G.rec->info;
  json& c = report["case"];
  if (!c.is_object()) c = json::object();
  // A field given now replaces the earlier one; one not given keeps it.
  for (const auto& [key, value] : {std::pair{"case", &info.case_id}, std::pair{"evidence", &info.evidence},
                                   std::pair{"examiner", &info.examiner}, std::pair{"notes", &info.notes}})
    if (!value->empty()) c[key] = *value;
  // The text report is the JSON's rendering; written second, so a crash in
  // between leaves the JSON complete.
  if (!write_atomic(jpath, report.dump(2) + "\n", error)) return false;
  *path = dd_report_text_path(image);
  return write_atomic(*path, dd_report_text(report), error);
}
