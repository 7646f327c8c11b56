/* The link between a workload (sim/tools/workload.cpp, a program whose work loads a simulated DSP
 * while it runs) and the DSP hosts of its domain, on this machine only.
 *
 * A workload listens on a Unix stream socket DIR/DOMAIN/PID.sock, DIR being the folder that
 * KESTREL_SIM_WORKLOADS names: it binds a hidden name first and renames it into place once it
 * listens, so that a socket found under its final name always answers. Each DSP host of the
 * domain connects to it (a host that starts later finds it in the folder, one that runs is told
 * by inotify), reads the workload's steps and keeps the link open: the load lasts until the
 * steps end or the link closes, which is how a DSP notices that its client was killed. What the
 * workload writes on each link, as text:
 *
 *   kestrel-sim-workload 1
 *   start NS                           its monotonic clock when its steps start
 *   step LENGTH_NS CORE HVX HMX        one per step, in order; LENGTH_NS 0: until it ends
 *   end
 *
 * CORE is the share of the clock the core is busy for it (0..1); HVX and HMX are the shares of
 * those busy cycles' packets and cycles that are HVX packets and HMX active cycles (0..1). */
#ifndef KESTREL_SIM_WORKLOAD_H
#define KESTREL_SIM_WORKLOAD_H

#define SIM_WORKLOADS_ENV "KESTREL_SIM_WORKLOADS"
#define SIM_WORKLOAD_SUFFIX ".sock"
#define SIM_WORKLOAD_HELLO "kestrel-sim-workload 1"
/* The steps of one workload, as a DSP keeps them (runtime.h: DSP_MAX_CLIENT_STEPS). */
#define SIM_WORKLOAD_MAX_STEPS 16
/* The longest text a workload writes: the lines above with 16 steps. */
#define SIM_WORKLOAD_MAX_TEXT 2048

#endif
