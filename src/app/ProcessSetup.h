#pragma once

// What a long-running server needs of its process before it starts: a reader
// of standard output that goes away must not kill it, and every client's
// socket needs a descriptor.
void prepareProcess();
