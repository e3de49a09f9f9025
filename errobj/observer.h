// The module's observer slot, handed the record line after each report.
#pragma once

class CErrObjManager;

// Renders the thread's record (or the fallback line) and hands it to the observer, if one is
// installed. An exception thrown by the observer stops here.
void NotifyErrorObserver(CErrObjManager& manager);
