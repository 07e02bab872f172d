#pragma once
#define IDI_SETUP 1
