// SPDX-License-Identifier: Apache-2.0
// mailparser_attachments.js - the Node.js oracle of the differential test: parses each message of
// a batch with mailparser's simpleParser, as Node.js mail services and webmail back ends do, and
// writes the attachments it offers.
//
// Usage: node mailparser_attachments.js LIST
// Each line of LIST is "MESSAGE<TAB>FOLDER"; the output is that of gmime_leaves.c: FOLDER/N for
// each attachment, FOLDER/parts.tsv with "N<TAB>type<TAB>file name<TAB>encoding", FOLDER/done.
'use strict';
const fs = require('fs');
const path = require('path');
const { simpleParser } = require('mailparser');

// A field of parts.tsv: tabs and line ends made blanks.
function field(text) {
  return String(text === undefined || text === null ? '' : text).replace(/[\t\r\n]/g, ' ');
}

// Parses one message into its folder; a parser that throws leaves the list empty.
async function readMessage(message, folder) {
  fs.mkdirSync(folder, { recursive: true });
  const lines = [];
  try {
    const parsed = await simpleParser(fs.readFileSync(message));
    parsed.attachments.forEach((attachment, number) => {
      fs.writeFileSync(path.join(folder, String(number)), attachment.content);
      const encoding = attachment.headers && attachment.headers.get('content-transfer-encoding');
      lines.push([number, field(attachment.contentType), field(attachment.filename),
        field(encoding)].join('\t') + '\n');
    });
  } catch (error) {
    process.stderr.write(`mailparser_attachments: ${message}: ${error.message}\n`);
  }
  fs.writeFileSync(path.join(folder, 'parts.tsv'), lines.join(''));
  fs.writeFileSync(path.join(folder, 'done'), '');
}

async function main() {
  const list = fs.readFileSync(process.argv[2], 'utf8').split('\n');
  for (const line of list) {
    const tab = line.indexOf('\t');
    if (tab > 0) {
      await readMessage(line.slice(0, tab), line.slice(tab + 1));
    }
  }
}

main().catch((error) => {
  process.stderr.write(`mailparser_attachments: ${error.stack}\n`);
  process.exit(1);
});
