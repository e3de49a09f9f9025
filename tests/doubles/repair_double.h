// The repair-library double: each call of "do505" appends one line "<first> <second> <module>"
// (UTF-8, the module being the full path the library runs from) to the file named by the
// environment variable below. Variants refuse to load from a "\vellis\" folder, or lack "do505".
#pragma once

constexpr const wchar_t* REPAIR_DOUBLE_LOG_VARIABLE = L"OSTRA505_DOUBLE_DO505_LOG";
