// Resource ids of the Windows dialog (krii.rc). The control ids are those
// of krii_ids.h, written as numbers in the template, where the resource
// compiler cannot read an enum.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_KRII_DIALOG 102
#define IDR_MAINFRAME 128
// The about box's texts.
#define IDC_ABOUT_TITLE 1011
#define IDC_ABOUT_COPYRIGHT 1012
#define IDC_ABOUT_LINK 1013
