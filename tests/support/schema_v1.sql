-- The factory record: one row per phone any station programmed, shipped from the stations'
-- .jsonl detail records. Version 1.
--
-- Each station applies this script itself when the database has no schema_version of 1 or
-- later yet; a database administrator may instead apply it by hand (psql -f db/schema.sql) and
-- give the stations' role only USAGE on the schema, INSERT and SELECT on phone_run and SELECT on
-- schema_version. Every statement is idempotent, and the advisory lock makes twenty stations
-- starting at once take turns instead of racing to create the same objects.
BEGIN;
SELECT pg_advisory_xact_lock(5133042001);

CREATE SCHEMA IF NOT EXISTS bramblewick;

CREATE TABLE IF NOT EXISTS bramblewick.schema_version (
    version    integer PRIMARY KEY,
    applied_at timestamptz NOT NULL DEFAULT now()
);

-- One row per phone: the record's scalar fields as columns, its lists and objects as jsonb, and
-- the whole record as it was written. The limits on the key's texts keep it indexable; a record
-- beyond them is refused and stays in the station's .jsonl.
CREATE TABLE IF NOT EXISTS bramblewick.phone_run (
    id               bigserial PRIMARY KEY,
    station          text    NOT NULL CHECK (length(station) BETWEEN 1 AND 255),
    csv_file         text    NOT NULL CHECK (length(csv_file) BETWEEN 1 AND 255),
    csv_line         integer NOT NULL CHECK (csv_line >= 2),
    program          text,
    fixture          text,
    interface_1      text,
    interface_2      text,
    bootrom_id       text,
    bootrom_version  text,
    agent_interface  text,
    start            timestamptz,
    finish           timestamptz,
    section          text,
    status_code      integer,
    status_text      text,
    passed           boolean,
    job_sha256       text,
    container_sha256 text,
    images           jsonb,
    nand             jsonb,
    steps            jsonb,
    plugin           jsonb,
    record           jsonb   NOT NULL,
    shipped_at       timestamptz NOT NULL DEFAULT now(),
    UNIQUE (station, csv_file, csv_line)
);
CREATE INDEX IF NOT EXISTS phone_run_finish ON bramblewick.phone_run (finish);
CREATE INDEX IF NOT EXISTS phone_run_images ON bramblewick.phone_run
    USING gin (images jsonb_path_ops);
CREATE INDEX IF NOT EXISTS phone_run_container ON bramblewick.phone_run (container_sha256);

-- What a station calls with a batch of records (a JSON array): inserts those not yet present and
-- returns how many were new. A record already in the table (the same station, CSV file and CSV
-- line) is left as it is, so a batch sent twice is harmless.
CREATE OR REPLACE FUNCTION bramblewick.insert_runs(records jsonb) RETURNS integer
LANGUAGE sql AS $$
    WITH inserted AS (
        INSERT INTO bramblewick.phone_run (
            station, csv_file, csv_line, program, fixture, interface_1, interface_2,
            bootrom_id, bootrom_version, agent_interface, start, finish, section,
            status_code, status_text, passed, job_sha256, container_sha256,
            images, nand, steps, plugin, record)
        SELECT r->>'station', r->>'csv_file', (r->>'csv_line')::integer, r->>'program',
               r->>'fixture', r->>'interface_1', r->>'interface_2', r->>'bootrom_id',
               r->>'bootrom_version', r->>'agent_interface',
               NULLIF(r->>'start', '')::timestamptz, NULLIF(r->>'finish', '')::timestamptz,
               r->>'section', (r->>'status_code')::integer, r->>'status_text',
               (r->>'passed')::boolean, r->'job'->>'sha256', r->'job'->>'container_sha256',
               r->'job'->'images', NULLIF(r->'nand', 'null'), r->'steps',
               NULLIF(r->'plugin', 'null'), r
        FROM jsonb_array_elements(records) AS r
        ON CONFLICT (station, csv_file, csv_line) DO NOTHING
        RETURNING 1)
    SELECT count(*)::integer FROM inserted
$$;

-- The questions an engineer asks. Days and hours are those of the session's time zone.
CREATE OR REPLACE VIEW bramblewick.yield_by_station AS
SELECT finish::date AS day, station,
       count(*) AS phones,
       count(*) FILTER (WHERE passed) AS passed,
       count(*) FILTER (WHERE NOT passed) AS failed,
       round(100.0 * count(*) FILTER (WHERE passed) / count(*), 1) AS yield_pct
FROM bramblewick.phone_run
GROUP BY 1, 2;

CREATE OR REPLACE VIEW bramblewick.yield_by_fixture AS
SELECT finish::date AS day, station, fixture,
       count(*) AS phones,
       count(*) FILTER (WHERE passed) AS passed,
       count(*) FILTER (WHERE NOT passed) AS failed,
       round(100.0 * count(*) FILTER (WHERE passed) / count(*), 1) AS yield_pct
FROM bramblewick.phone_run
GROUP BY 1, 2, 3;

CREATE OR REPLACE VIEW bramblewick.yield_by_hour AS
SELECT date_trunc('hour', finish) AS hour, station,
       count(*) AS phones,
       count(*) FILTER (WHERE passed) AS passed,
       count(*) FILTER (WHERE NOT passed) AS failed,
       round(100.0 * count(*) FILTER (WHERE passed) / count(*), 1) AS yield_pct
FROM bramblewick.phone_run
GROUP BY 1, 2;

-- Failed phones by the step they failed in and the code, with the status text seen most often.
CREATE OR REPLACE VIEW bramblewick.failures AS
SELECT finish::date AS day, station, section, status_code,
       count(*) AS phones,
       mode() WITHIN GROUP (ORDER BY status_text) AS usual_text
FROM bramblewick.phone_run
WHERE NOT passed
GROUP BY 1, 2, 3, 4;

-- Every digest a phone received: each image's, and the one-file container's.
CREATE OR REPLACE VIEW bramblewick.phones_by_image AS
SELECT i->>'sha256' AS sha256, 'image' AS kind, i->>'file' AS file,
       p.station, p.csv_file, p.csv_line, p.fixture, p.finish, p.passed
FROM bramblewick.phone_run p
CROSS JOIN LATERAL jsonb_array_elements(
    CASE WHEN jsonb_typeof(p.images) = 'array' THEN p.images ELSE '[]' END) AS i
UNION ALL
SELECT p.container_sha256, 'container', NULL,
       p.station, p.csv_file, p.csv_line, p.fixture, p.finish, p.passed
FROM bramblewick.phone_run p
WHERE p.container_sha256 IS NOT NULL;

INSERT INTO bramblewick.schema_version (version) VALUES (1) ON CONFLICT DO NOTHING;
COMMIT;
