// The report beside an image: phone.dd.json (the facts, schema in the
// README) and phone.dd.txt (the same for paper), rewritten whole when a job
// starts, now and then while it runs, when it ends and when the image is
// verified, and put in place in one step. Each job adds its run; the runs
// of earlier jobs stay. Only jobs that wrote the image change its summary.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// Seconds since 1970, and such a time as local time with its offset from
// UTC ("2026-12-09T20:25:44+08:00"); both from the platform.
int64_t dd_report_now();
std::string dd_report_time_text(int64_t s);
// The machine's name and the user running the program.
std::string dd_report_host();
std::string dd_report_user();

std::string dd_report_json_path(const std::string& image);
std::string dd_report_text_path(const std::string& image);

enum { DD_REPORT_FORMAT_VERSION = 2 };

// The run of the job in G with its result (-1: still running), added to the
// report of G's image, or put in place of the entry an earlier call of the
// same job wrote (a job writes its run when it starts, so that a run that
// never ends, killed or cut by a power failure, is still on record). false
// with *error when the report could not be written; *path names the text
// report.
bool dd_report_write(int result, std::string* path, std::string* error);

// The report of image: false when there is none, it is not JSON or its
// fields are not of their kinds (*error says which); the caller then goes
// on as without a report.
bool dd_report_load(const std::string& image, nlohmann::json* out, std::string* error);
// Why report is not a report of this program's form, "" when it is one.
std::string dd_report_check(const nlohmann::json& report);
// Adds a verification of the image to its report (when there is one that
// can be read); false with *error otherwise.
bool dd_report_add_verification(const std::string& image, const nlohmann::json& entry, std::string* error);
// Adds run to report; summary (null for a run that never wrote the image)
// becomes the image's summary.
void dd_report_add_run(nlohmann::json& report, const nlohmann::json& run, const nlohmann::json* summary);
// The plain-text form of a report; every text in it with its control
// characters escaped, so that no value can forge a line.
std::string dd_report_text(const nlohmann::json& report);
