// sharp-export.cjs OUTDIR PHOTO...
// The benchmark's sharp job, written as a sharp user would: per photo, the three
// outputs as three pipelines at once (auto-orient, resize without enlarging, JPEG
// quality 85; sharp leaves metadata out unless asked), photos one after another.
// SHARP_MODULE names the installed sharp package folder.
'use strict';
const fs = require('fs');
const path = require('path');
const sharp = require(process.env.SHARP_MODULE);

const specs = {
  instagram: { width: 1080, withoutEnlargement: true },
  threads: { width: 1080, withoutEnlargement: true },
  facebook: { width: 2048, height: 2048, fit: 'inside', withoutEnlargement: true },
};

async function main() {
  const [outDir, ...photos] = process.argv.slice(2);
  for (const photo of photos) {
    const name = path.basename(photo, path.extname(photo));
    await Promise.all(Object.entries(specs).map(async ([spec, size]) => {
      const dir = path.join(outDir, spec);
      await fs.promises.mkdir(dir, { recursive: true });
      await sharp(photo).rotate().resize(size).jpeg({ quality: 85 })
        .toFile(path.join(dir, `${name}.jpg`));
    }));
  }
}

main().catch((error) => {
  console.error(String(error));
  process.exit(1);
});
