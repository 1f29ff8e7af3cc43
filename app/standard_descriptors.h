#pragma once

// Started with standard input, output or error closed (as some service
// managers and cron set-ups do), the files a program opens would take those
// descriptors, and stdio would flush its messages into an image or an
// archive. This opens /dev/null on each closed one first.
void fillClosedStandardDescriptors();
