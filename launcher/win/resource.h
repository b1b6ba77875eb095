#pragma once
// Resource ids of Orvane.exe.
#define IDI_ORVANE 1
#define IDB_SPLASH 101
