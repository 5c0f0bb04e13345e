'use strict';
// What the user types: the drives' names to confirm a write, and the sudo password.
// Prompts go to standard error so that standard output stays the program's own.
const readline = require('node:readline');
const { checkPassword } = require('../index.js');

// One reader for all lines of standard input: a piped "name\npassword\n" may arrive in
// one chunk, and a reader closed after the first line would drop the second.
let reader = null;
let lines = null;

async function nextLine(prompt) {
  process.stderr.write(prompt);
  if (!lines) {
    reader = readline.createInterface({ input: process.stdin, terminal: false, crlfDelay: Infinity });
    lines = reader[Symbol.asyncIterator]();
  }
  const { value, done } = await lines.next();
  // Nothing echoed the answer of a piped input: end the prompt's line.
  if (prompt && !process.stdin.isTTY) process.stderr.write('\n');
  return done ? null : value;
}

// Lets standard input go once nothing more is read from it, so it keeps nothing alive.
function closeInput() {
  if (reader) reader.close();
  reader = null;
  lines = null;
}

class Interrupted extends Error {}

// Every drive's name, typed: a plain "yes" would confirm whatever drives the command
// line happened to name. Order and blanks between the names do not matter.
async function confirmDrives(drives) {
  const names = drives.map((d) => d.name);
  const prompt = names.length === 1
    ? `Type the drive's name (${names[0]}) to overwrite it, anything else to stop: `
    : `Type the names of all ${names.length} drives, separated by spaces (${names.join(' ')}), to overwrite them, anything else to stop: `;
  const answer = await nextLine(prompt);
  const typed = answer === null ? [] : answer.trim().split(/\s+/).sort();
  if (typed.join(' ') !== [...names].sort().join(' ')) {
    throw new Error(`the ${names.length === 1 ? 'drive was' : 'drives were'} not confirmed: nothing was written`);
  }
}

// A station overwrites drives nobody named yet: the word "yes", typed.
async function confirmStation() {
  const answer = await nextLine('Type yes to start the station, anything else to stop: ');
  if (answer === null || answer.trim() !== 'yes') throw new Error('the station was not confirmed: nothing was written');
}

// From one line of standard input, or typed without echo at the terminal.
async function askPassword(fromStdin) {
  if (fromStdin) {
    const line = await nextLine('');
    if (line === null) throw new Error('no password on standard input');
    return line;
  }
  if (!process.stdin.isTTY) {
    throw new Error('the sudo password is needed: run in a terminal or pass it with --password-stdin');
  }
  closeInput();
  try {
    // Loaded here: only a password typed at a terminal needs it.
    const { read } = require('read');
    return await read({ prompt: 'sudo password:', silent: true, replace: '', output: process.stderr });
  } catch (err) {
    if (err.message === 'canceled') throw new Interrupted('interrupted');
    throw err;
  }
}

// Not root: the addon opens the device nodes through sudo, so the password is asked
// for and checked before anything starts.
async function providePassword(fromStdin) {
  let password;
  if (fromStdin || process.getuid() !== 0) {
    password = await askPassword(fromStdin);
    if (!checkPassword(password)) throw new Error('invalid sudo password');
  }
  closeInput();
  return password;
}

module.exports = { confirmDrives, confirmStation, providePassword, Interrupted };
