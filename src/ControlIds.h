#pragma once
// Control ids of the main window and its dialogs.

constexpr int IDD_TARVISEL_DIALOG = 102;
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDM_ABOUTBOX = 0x0010;
constexpr int IDS_ABOUTBOX = 101;

constexpr int IDC_LOG = 1000;
constexpr int IDC_OPEN = 1001;
constexpr int IDC_BIN_PATH = 1002;
constexpr int IDC_RUN = 1003;
constexpr int IDC_SW_VERSION = 1004;
constexpr int IDC_PROGRESS = 1005;
constexpr int IDC_SIZE = 1006;
constexpr int IDC_FILE_VERSION = 1007;
constexpr int IDC_STOP = 1008;
constexpr int IDC_PORT = 1009;
constexpr int IDC_SPEED = 1010;
constexpr int IDC_TYPE = 1011;
constexpr int IDC_COMPILED = 1013;
constexpr int IDC_PCB_VERSION = 1014;
constexpr int IDC_STATUS = 1018;
constexpr int IDC_SPARE = 1019;  // nothing ever writes it
constexpr int IDC_PROGRESS_IDLE = 1020;
constexpr int IDC_INFO = 1021;
constexpr int IDC_TODM = 1023;
