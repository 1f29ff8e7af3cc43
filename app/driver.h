#pragma once

// Converts every pic listed in ./vorna.spr to N.png in the current directory.
// Returns the exit status: 0 when every listed pic was written from a whole
// archive, 1 when the archive cannot be opened, 2 when the archive was cut
// short or unreadable or a pic could not be written.
int runConverter();
