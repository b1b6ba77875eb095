#pragma once
// Resource ids of Novaro.exe.
#define IDI_NOVARO 1
#define IDB_BACKGROUND 101
#define IDB_FRAME 102
