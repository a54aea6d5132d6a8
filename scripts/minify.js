#!/usr/bin/env node
/*
 * minify.js IN OUT: minifies one script with the machine's terser library
 * (Debian's node-terser, found through NODE_PATH), keeping licence and
 * attribution comments. Fails without writing OUT when the script does not
 * parse.
 */
'use strict';
const fs = require('fs');
const { minify } = require('terser');

async function main() {
    const [input, output] = process.argv.slice(2);
    if (!input || !output) {
        console.error('usage: minify.js IN OUT');
        process.exit(2);
    }
    const source = fs.readFileSync(input, 'utf8');
    const result = await minify(source, {
        compress: true,
        mangle: true,
        format: { comments: /@license|@preserve|^!|colResizable/ },
    });
    if (!result.code)
        throw new Error('terser gave no output for ' + input);
    const tmp = output + '.tmp';
    fs.writeFileSync(tmp, result.code + '\n');
    fs.renameSync(tmp, output);
}

main().catch((e) => {
    console.error('minify.js: ' + (e && e.message ? e.message : e));
    process.exit(1);
});
