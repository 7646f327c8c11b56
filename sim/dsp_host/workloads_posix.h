/* The DSP host's clients on this machine (workloads_posix.c). */
#ifndef KESTREL_SIM_WORKLOADS_POSIX_H
#define KESTREL_SIM_WORKLOADS_POSIX_H

/* Returns once `fd` (the application side's stream) is readable. Meanwhile, once the DSP is
 * configured and when KESTREL_SIM_WORKLOADS names a folder, takes on the workloads of the DSP's
 * domain as they appear and ends the load of each whose link closes. Without the folder it
 * returns at once. */
void dsp_workloads_wait(int fd);

#endif
