#include "mpi_wait.h"

#include "processors64_mpi_mac0.h"

void wait_barrier() { MPI_Barrier(MPI_COMM_WORLD); }

void receive_from(int source, void* buffer, int count, MPI_Datatype type) {
    MPI_Recv(buffer, count, type, source, tag, MPI_COMM_WORLD, &status);
}

void send_to_master(const void* buffer, int count, MPI_Datatype type) {
    MPI_Send(buffer, count, type, 0, tag, MPI_COMM_WORLD);
}
