// The reference simulation's physics and conventions, as the Python side relies on them.
import { test } from "node:test";
import assert from "node:assert/strict";
import "../dist/assets/cartpole.js";

const { CartPoleBatch, ROW, COLUMNS, cartPoleTasks } = globalThis.VeskCartPole;
const row = (sim, i) => Array.from(sim.rows().subarray(i * ROW, (i + 1) * ROW));
const zeroRng = () => 0.5; // uniform draw in the middle: initial state 0

test("one step from rest matches the classic equations, both directions", () => {
  const sim = new CartPoleBatch(2, { random: zeroRng });
  sim.step([[1], [0]]); // [a] counts as a; 0 pushes left
  // F = 10: temp = 10/1.1; thetaAcc = -temp / (0.5 * (4/3 - 0.1/1.1)); xAcc = temp - 0.05 * thetaAcc / 1.1
  const temp = 10 / 1.1;
  const thetaAcc = -temp / (0.5 * (4 / 3 - 0.1 / 1.1));
  const xAcc = temp - (0.05 * thetaAcc) / 1.1;
  const want = [0, 0.02 * xAcc, 0, 0.02 * thetaAcc, 1, 0, 0];
  for (const [got, sign] of [[row(sim, 0), 1], [row(sim, 1), -1]]) {
    want.forEach((w, k) => assert.ok(Math.abs(got[k] - (k === 1 || k === 3 ? sign * w : w)) < 1e-6, `${COLUMNS[k]}: ${got[k]}`));
  }
  assert.deepEqual(COLUMNS, ["x", "x_dot", "theta", "theta_dot", "reward", "terminated", "truncated"]);
});

test("leaving the track or tipping past 12 degrees terminates; the env then stays frozen with reward 0", () => {
  const sim = new CartPoleBatch(3, { random: zeroRng });
  sim.reset([true, true, true], [[2.39, 1], [-2.39, -1], 0], [0, 0, [0.2, 1]]);
  sim.step([1, 0, 1]);
  for (let i = 0; i < 3; i++) assert.deepEqual(row(sim, i).slice(4), [1, 1, 0], `env ${i}`);
  const ended = sim.rows();
  sim.step([1, 1, 1]);
  const after = sim.rows();
  for (let i = 0; i < 3; i++) {
    assert.deepEqual(Array.from(after.subarray(i * ROW, i * ROW + 4)), Array.from(ended.subarray(i * ROW, i * ROW + 4)));
    assert.deepEqual(row(sim, i).slice(4), [0, 1, 0]);
  }
  assert.equal(sim.returns[0], 1);
});

test("an episode that survives max_steps is truncated, not terminated", () => {
  const sim = new CartPoleBatch(1, { maxSteps: 4, random: zeroRng });
  const flags = [];
  for (const a of [1, 0, 0, 1]) {
    sim.step(a); // a bare number is accepted when there is one env
    flags.push(row(sim, 0).slice(5));
  }
  assert.deepEqual(flags, [[0, 0], [0, 0], [0, 0], [0, 1]]);
});

test("reset touches only flagged envs and reads pos/joint in each accepted form", () => {
  const draws = [0, 1, 0.25, 0.75];
  let k = 0;
  const sim = new CartPoleBatch(4, { random: () => draws[k++ % draws.length] });
  sim.step([1, 1, 1, 1]);
  const before = sim.rows();
  k = 0;
  sim.reset([true, false, true, 1], [0.5, [9, 9], [1, -1], null], [[0.1, 0.2], 7, null, 0]);
  assert.deepEqual(row(sim, 0).map((v) => +v.toFixed(6)), [0.5, 0, 0.1, 0.2, 0, 0, 0]);
  assert.deepEqual(row(sim, 1), Array.from(before.subarray(ROW, 2 * ROW)));
  assert.deepEqual(row(sim, 2).slice(0, 4).map((v) => +v.toFixed(6)), [1, -1, -0.05, 0.05]);
  assert.deepEqual(row(sim, 3).slice(0, 4).map((v) => +v.toFixed(6)), [-0.025, 0.025, 0, 0]);
  assert.deepEqual(Array.from(sim.episodes), [1, 0, 1, 1]);
  sim.reset([true, true, true, true], null, null);
  assert.ok(sim.rows().every((v) => Math.abs(v) <= Math.fround(0.05)));
});

test("malformed reset and step data are refused with the env named", () => {
  const sim = new CartPoleBatch(2);
  const bad = [
    [() => sim.step([1]), /action must be a list with one entry per environment \(2\), got a list of 1/],
    [() => sim.step(1), /action must be a list/],
    [() => sim.step([1, "x"]), /action\[1\] must be a finite number/],
    [() => sim.step([1, [null]]), /action\[1\]/],
    [() => sim.reset([true], null, null), /list must be a list/],
    [() => sim.reset([true, true], [1, [1, 2, 3]], null), /pos\[1\] must be null, a number or a pair/],
    [() => sim.reset([true, true], null, { a: 1 }), /joint must be a list/],
    [() => new CartPoleBatch(0), /num_envs must be a positive integer/],
    [() => new CartPoleBatch(2, { maxSteps: 1.5 }), /max_steps/],
  ];
  for (const [fn, pattern] of bad) assert.throws(fn, pattern);
});

test("the shared task handlers: init makes the batch, reset and step answer with its rows", () => {
  const calls = [];
  const { state, handlers } = cartPoleTasks({ stepped: () => calls.push("stepped"), shown: () => calls.push("shown") });
  assert.throws(() => handlers.step({ action: [1] }), /no init task received yet/);
  assert.equal(handlers.init({ num_envs: 2, object: { max_steps: 3 } }), "None");
  const reset = handlers.reset({ list: [true, true], pos: [0.5, 0], joint: [0, 0] });
  assert.ok(reset instanceof Float32Array && reset.length === 2 * ROW);
  assert.equal(reset[0], 0.5);
  const rows = handlers.step({ action: [1, 0] });
  assert.equal(rows, reset, "one reply array, reused");
  assert.deepEqual([rows[4], rows[ROW + 4]], [1, 1]);
  assert.equal(state.sim.maxSteps, 3);
  assert.equal(handlers.close(), "None");
  assert.ok(state.closed);
  assert.deepEqual(calls, ["shown", "stepped", "stepped", "shown"]);
});
