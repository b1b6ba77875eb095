#pragma once
// Resource ids of Rundrel.exe.
#define IDB_BANNER 101
