'use strict';
// What the user types: the drive's name to confirm a write, and the sudo password.
// Prompts go to standard error so that standard output stays the program's own.
const readline = require('node:readline');
const { read } = require('read');

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

async function confirmDrive(drive) {
  const answer = await nextLine(`Type the drive's name (${drive.name}) to overwrite it, anything else to stop: `);
  if (answer === null || answer.trim() !== drive.name) {
    throw new Error('the drive was not confirmed: nothing was written');
  }
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
    return await read({ prompt: 'sudo password:', silent: true, replace: '', output: process.stderr });
  } catch (err) {
    if (err.message === 'canceled') throw new Interrupted('interrupted');
    throw err;
  }
}

module.exports = { confirmDrive, askPassword, closeInput, Interrupted };
