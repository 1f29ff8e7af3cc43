#include "convert/unpack_pass.h"

#include "archive/messages.h"

void sayPicDone(int id) { say("Pics done: %i\n", id); }

void sayPicUnwritable(int id) { say("Unable to write %i.png!\n", id); }
