"""Scale per core: environment steps per second for k workers x n copies of
the reference cart-pole on each host, the CPU an environment step takes,
and the memory of each host.

    python bench/scale.py [--workers 1 2] [--envs 1 64 1024] [--hosts chromium node]
        [--steps 300] [--seconds 3] [--rounds 3]

Each configuration is a veskit.ParallelVectorEnv(launcher=...) of k worker
processes, each with its own host: `chromium` is veskit.Browser on the
reference page (examples/train_ray.py's CartPole, the page draws), `node`
veskit.NodeHost on the reference Node entry (the same simulation, no
drawing). A stabilising policy keeps every cart-pole running, so each step
simulates all of them. Configurations are interleaved round after round;
medians are printed.

CPU: user + system time of this process and every process under it
(workers, hosts and their helpers, from /proc/<pid>/stat) over the timed
block, per environment step (a step of k x n copies counts k x n). Memory:
PSS (shared pages split between the processes that map them) from
/proc/<pid>/smaps_rollup, summed over each host's process group (the host
leads a session of its own), averaged over the k hosts, and USS (its
private pages: PSS also splits shared library pages with other programs'
Chromium); the workers' Python processes are shown apart.
"""
import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(os.path.dirname(HERE), "examples"), HERE]

import cloudpickle  # noqa: E402

import hosts  # noqa: E402
import train_ray  # noqa: E402
import veskit  # noqa: E402

cloudpickle.register_pickle_by_value(train_ray)  # the workers cannot import it from examples/
TICK = os.sysconf("SC_CLK_TCK")
WARMUP = 30
HOSTS = ("chromium", "node")


def processes():
    """{pid: (ppid, pgid, cpu seconds, name)} of every process we can read."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        found[int(pid)] = (int(fields[1]), int(fields[2]), (int(fields[11]) + int(fields[12])) / TICK, name)
    return found


def tree(table, root):
    """The pids of `root` and every process under it."""
    children = {}
    for pid, (ppid, *_rest) in table.items():
        children.setdefault(ppid, []).append(pid)
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, ()))
    return found


def cpu_seconds():
    table = processes()
    return sum(table[pid][2] for pid in tree(table, os.getpid()) if pid in table)


def memory():
    """([(PSS, USS) MB of each host], PSS MB of the workers' Python processes) under this process."""
    table = processes()
    mine = tree(table, os.getpid())
    leaders = [pid for pid in mine if table[pid][1] == pid and not table[pid][3].startswith("python")]
    hosts_memory = [hosts.host_memory(pid)[:3:2] for pid in leaders]
    workers = [pid for pid in mine if table[pid][0] == os.getpid() and table[pid][3].startswith("python")]
    workers_pss = sum(pss_mb(pid) for pid in workers)
    return hosts_memory, workers_pss


def pss_mb(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            fields = dict(line.split(":", 1) for line in f.read().splitlines()[1:])
    except (OSError, ValueError):
        return 0.0
    return int(fields["Pss"].split()[0]) / 1024


def launcher_for(host):
    return veskit.NodeHost if host == "node" else veskit.Browser


def measure(host, workers, num_envs, steps, seconds):
    with veskit.ParallelVectorEnv(train_ray.CartPole, workers=workers, kwargs={"num_envs": num_envs,
                                                                               "max_steps": 10**6},
                                  launcher=launcher_for(host)) as envs:
        obs, _ = envs.reset(seed=0)

        def policy(obs):
            return (obs[:, 2] + 0.5 * obs[:, 3])[:, None]  # push towards the lean: the pole stays up

        for _ in range(WARMUP):
            obs = envs.step(policy(obs))[0]
        # At least `seconds` long: /proc counts CPU time in ticks of 10 ms.
        cpu, start, done = cpu_seconds(), time.perf_counter(), 0
        while done < steps or time.perf_counter() - start < seconds:
            obs = envs.step(policy(obs))[0]
            done += 1
        elapsed, cpu, steps = time.perf_counter() - start, cpu_seconds() - cpu, done
        hosts_memory, workers_pss = memory()
        running = int(((obs[:, 5] < 0.5) & (obs[:, 6] < 0.5)).sum())
    env_steps = steps * workers * num_envs
    return {"env_steps_per_s": env_steps / elapsed, "steps_per_s": steps / elapsed,
            "cpu_us_per_env_step": cpu / env_steps * 1e6, "cpu_ms_per_step": cpu / steps * 1e3,
            "cores": cpu / elapsed, "host_pss_mb": statistics.mean(m[0] for m in hosts_memory),
            "host_uss_mb": statistics.mean(m[1] for m in hosts_memory), "hosts": len(hosts_memory),
            "workers_pss_mb": workers_pss / workers, "running": running,
            "copies": workers * num_envs}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--envs", type=int, nargs="+", default=[1, 64, 1024])
    parser.add_argument("--hosts", nargs="+", default=list(HOSTS), choices=HOSTS)
    parser.add_argument("--steps", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=3.0, help="the least time a block steps for")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(hosts.versions(), flush=True)
    configs = [(host, k, n) for n in args.envs for host in args.hosts for k in args.workers]
    results = {config: [] for config in configs}
    for round_number in range(args.rounds):
        for config in configs:
            results[config].append(measure(*config, args.steps, args.seconds))
        print(f"round {round_number + 1} of {args.rounds} done", file=sys.stderr, flush=True)
    print(f"\nmedians of {args.rounds} interleaved rounds of at least {args.steps} steps and {args.seconds:g} s")
    print("| host | workers | num_envs each | env-steps/s | steps/s | CPU per env step, us | CPU per step, ms | "
          "cores busy | host PSS MB | host USS MB | worker PSS MB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for host, k, n in sorted(configs, key=lambda c: (c[0], c[2], c[1])):
        m = {key: statistics.median(r[key] for r in results[host, k, n]) for key in results[host, k, n][0]}
        print(f"| {host} | {k} | {n} | {m['env_steps_per_s']:,.0f} | {m['steps_per_s']:,.0f} | "
              f"{m['cpu_us_per_env_step']:,.1f} | {m['cpu_ms_per_step']:.2f} | {m['cores']:.2f} | "
              f"{m['host_pss_mb']:.0f} | {m['host_uss_mb']:.0f} | {m['workers_pss_mb']:.0f} |")


if __name__ == "__main__":
    main()
