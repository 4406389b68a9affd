#!/usr/bin/python3
"""idlewatch.py PID START_EPOCH [T1=10] [WIN=60] [POLL=0.5]

What an idle app costs. Sleeps until START_EPOCH+T1, samples PID (resident and proportional
memory, CPU ticks, threads, context switches) and its child processes, then polls every POLL
seconds for WIN seconds, following every thread by its id so that the context switches and CPU
time of threads that end inside the window still count up to their last poll, and samples again.
Prints 't10 k=v...', 't70 k=v...' and 'win k=v...' (ctxsw_all and run_ns_all: the window's
context switches, i.e. wakeups, and CPU nanoseconds over all threads)."""
import glob, os, sys, time
pid = int(sys.argv[1]); start = float(sys.argv[2])
T1 = float(sys.argv[3]) if len(sys.argv) > 3 else 10; WIN = float(sys.argv[4]) if len(sys.argv) > 4 else 60
POLL = float(sys.argv[5]) if len(sys.argv) > 5 else 0.5
def rd(p):
    try: return open(p).read()
    except OSError: return ''
def field(txt, key):
    for l in txt.splitlines():
        if l.startswith(key + ':'): return int(l.split()[1])
    return 0
def ticks(p):
    s = rd(f'/proc/{p}/stat'); f = s[s.rfind(')') + 2:].split()
    return int(f[11]) + int(f[12]) if f else 0
def tasks(p):
    out = {}
    for t in glob.glob(f'/proc/{p}/task/*'):
        st = rd(t + '/status'); sc = rd(t + '/schedstat').split()
        if st and sc: out[int(t.rsplit('/', 1)[1])] = (field(st, 'voluntary_ctxt_switches') + field(st, 'nonvoluntary_ctxt_switches'), int(sc[0]))
    return out
def kids(p):
    par = {}
    for s in glob.glob('/proc/[0-9]*/stat'):
        x = rd(s)
        if x: par[int(s.split('/')[2])] = (int(x[x.rfind(')') + 2:].split()[1]), x[x.find('(') + 1:x.rfind(')')])
    res, q = [], [p]
    while q:
        c = [k for k, (pp, _) in par.items() if pp in q]; res += c; q = c
    return [(k, par[k][1]) for k in res]
def sample(tag):
    st = rd(f'/proc/{pid}/status'); tk = tasks(pid); ks = kids(pid)
    kr = sum(field(rd(f'/proc/{k}/status'), 'VmRSS') for k, _ in ks)
    kp = sum(field(rd(f'/proc/{k}/smaps_rollup'), 'Pss') for k, _ in ks)
    kt = sum(ticks(k) for k, _ in ks); kc = sum(v[0] for k, _ in ks for v in tasks(k).values())
    print(f"{tag} ticks={ticks(pid)} rss_kb={field(st, 'VmRSS')} pss_kb={field(rd(f'/proc/{pid}/smaps_rollup'), 'Pss')} "
          f"threads={field(st, 'Threads')} ctxsw={sum(v[0] for v in tk.values())} run_ns={sum(v[1] for v in tk.values())} "
          f"kids={len(ks)} kids_rss_kb={kr} kids_pss_kb={kp} kids_ticks={kt} kids_ctxsw={kc} kidpids=[{' '.join(f'{k}:{n}' for k, n in ks)}]", flush=True)
    return tk
time.sleep(max(0, start + T1 - time.time()))
base = sample('t10'); last = dict(base); born = 0; t_end = time.time() + WIN
while time.time() < t_end:
    time.sleep(min(POLL, max(0, t_end - time.time())))
    for tid, v in tasks(pid).items():
        if tid not in base: base[tid] = (0, 0); born += 1   # born in window: all its activity is in-window
        last[tid] = v
final = sample('t70')
for tid, v in final.items():
    if tid not in base: base[tid] = (0, 0); born += 1
    last[tid] = v
died = sum(1 for t in last if t not in final)
print(f"win ctxsw_all={sum(last[t][0] - base[t][0] for t in last)} run_ns_all={sum(last[t][1] - base[t][1] for t in last)} "
      f"threads_born={born} threads_died={died}", flush=True)
