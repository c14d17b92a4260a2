// The dialog's control and command ids, for every face of it and its tests.
#pragma once

enum krii_id {
  // The image and its operations.
  IDC_PATH = 1000,
  IDC_BROWSE = 1001,
  IDC_CONNECT = 1002,
  IDC_START_STOP = 1003,
  // The image's format beside its path (a drop-down list).
  IDC_FORMAT = 1004,
  IDC_LOG = 1005,
  IDC_PROGRESS = 1006,
  IDC_STATUS = 1008,
  IDC_GROUP_IMAGE = 1009,
  IDC_GROUP_STATE = 1010,
  // The connection settings.
  IDC_ADDRESS = 1014,
  IDC_USER = 1015,
  IDC_PASSWD = 1016,
  IDC_PORT = 1017,
  IDC_LABEL_PASSWD = 1018,
  IDC_LABEL_USER = 1019,
  IDC_LABEL_PORT = 1020,
  IDC_GROUP_CONNECTION = 1021,
  // The case, the verification and the last job's outcome.
  IDC_VERIFY = 1022,
  IDC_GROUP_CASE = 1030,
  IDC_CASE = 1031,
  IDC_EVIDENCE = 1032,
  IDC_EXAMINER = 1033,
  IDC_NOTES = 1034,
  IDC_LABEL_CASE = 1035,
  IDC_LABEL_EVIDENCE = 1036,
  IDC_LABEL_EXAMINER = 1037,
  IDC_LABEL_NOTES = 1038,
  IDC_MD5 = 1040,
  IDC_SHA256 = 1041,
  IDC_REPORT = 1042,
  IDC_COPY_HASHES = 1043,
  IDC_OPEN_FOLDER = 1044,
  IDC_LABEL_MD5 = 1045,
  IDC_LABEL_SHA256 = 1046,
  IDC_LABEL_REPORT = 1047,
};

// Commands of the system menu.
enum { IDM_ABOUTBOX = 16, IDM_DEBUG = 1020 };
