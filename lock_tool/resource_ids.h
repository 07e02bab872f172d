#pragma once
#define IDI_PADLOCK 1
#define IDB_LOGO 101
