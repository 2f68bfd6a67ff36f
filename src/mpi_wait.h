// The job's blocking points: the barriers between phases and the messages
// between a worker and the master. Every wait of the program goes through
// these three calls, so how a rank waits is decided in one place.
#pragma once

#include <mpi.h>

// Barrier over the world communicator.
void wait_barrier();

// Receive `count` elements from `source` (tag 0, world communicator) into
// `buffer`, filling the global `status`.
void receive_from(int source, void* buffer, int count, MPI_Datatype type);

// Send `count` elements of `buffer` to the master (tag 0, world communicator).
void send_to_master(const void* buffer, int count, MPI_Datatype type);
