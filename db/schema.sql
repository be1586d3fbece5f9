-- The factory record: one row per phone any station programmed, shipped from the stations'
-- .jsonl detail records, and every station's live state. Version 2.
--
-- Each station applies this script itself when the database has no schema_version of 2 or
-- later yet (a version-1 database is upgraded in place); a database administrator may instead
-- apply it by hand (psql -f db/schema.sql) and give the stations' role only USAGE on the
-- schema, INSERT and SELECT on phone_run, SELECT, INSERT, UPDATE and DELETE on station and
-- fixture_state, SELECT and INSERT on job_release, and SELECT on schema_version. Every
-- statement is idempotent, and the advisory lock makes twenty stations starting at once take
-- turns instead of racing to create the same objects.
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

-- Version 2, twin stations: two stations with the same station id (cloned PCs, the default host
-- name) starting in the same second write the same CSV file name, so the key also holds the
-- run id each program start draws at random. Rows from version 1 get run_id '' (as do records
-- written before run ids), which keeps them unique and a resend of them harmless. The table
-- above is still made with the version-1 key, so new and upgraded databases take the same path.
ALTER TABLE bramblewick.phone_run
    ADD COLUMN IF NOT EXISTS run_id text NOT NULL DEFAULT '' CHECK (length(run_id) <= 255);
CREATE UNIQUE INDEX IF NOT EXISTS phone_run_key
    ON bramblewick.phone_run (station, run_id, csv_file, csv_line);
ALTER TABLE bramblewick.phone_run
    DROP CONSTRAINT IF EXISTS phone_run_station_csv_file_csv_line_key;

-- What a station calls with a batch of records (a JSON array): inserts those not yet present and
-- returns how many were new. A record already in the table (the same station, run id, CSV file
-- and CSV line) is left as it is, so a batch sent twice is harmless.
CREATE OR REPLACE FUNCTION bramblewick.insert_runs(records jsonb) RETURNS integer
LANGUAGE sql AS $$
    WITH inserted AS (
        INSERT INTO bramblewick.phone_run (
            station, run_id, csv_file, csv_line, program, fixture, interface_1, interface_2,
            bootrom_id, bootrom_version, agent_interface, start, finish, section,
            status_code, status_text, passed, job_sha256, container_sha256,
            images, nand, steps, plugin, record)
        SELECT r->>'station', coalesce(r->>'run_id', ''), r->>'csv_file',
               (r->>'csv_line')::integer, r->>'program', r->>'fixture', r->>'interface_1', r->>'interface_2', r->>'bootrom_id',
               r->>'bootrom_version', r->>'agent_interface',
               NULLIF(r->>'start', '')::timestamptz, NULLIF(r->>'finish', '')::timestamptz,
               r->>'section', (r->>'status_code')::integer, r->>'status_text',
               (r->>'passed')::boolean, r->'job'->>'sha256', r->'job'->>'container_sha256',
               r->'job'->'images', NULLIF(r->'nand', 'null'), r->'steps',
               NULLIF(r->'plugin', 'null'), r
        FROM jsonb_array_elements(records) AS r
        ON CONFLICT (station, run_id, csv_file, csv_line) DO NOTHING
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

-- Live state (version 2): what each station and each of its fixtures is doing now, rewritten by
-- the stations as it changes (not a record: nothing is queued while the database is away). A
-- database of version 1 gains these objects in place. Every change raises
-- NOTIFY bramblewick_line with the station id as payload, so a reader need not poll.
CREATE TABLE IF NOT EXISTS bramblewick.station (
    station          text PRIMARY KEY,          -- the station id (untrusted text)
    run_id           text NOT NULL,             -- the run id of the program now writing
    host             text,
    program_version  text,
    job_sha256       text,                      -- flasher.ini's digest
    job_description  text,                      -- the one-file image's description, or null
    started          timestamptz NOT NULL,
    heartbeat        timestamptz NOT NULL,      -- refreshed at least every 5 s while running
    stopped          timestamptz,               -- set by a clean quit; null while running
    programmed       integer NOT NULL DEFAULT 0,
    failed           integer NOT NULL DEFAULT 0,
    interrupted      integer NOT NULL DEFAULT 0,
    first_pass_yield double precision,          -- percent, null before the first phone
    phones_per_hour  double precision,
    twin_run_id      text,                      -- another live program with this id, or null
    updated          timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS bramblewick.fixture_state (
    station     text NOT NULL REFERENCES bramblewick.station (station) ON DELETE CASCADE,
    fixture     text NOT NULL,        -- "1".."64" for mapped fixtures; "NA<row>" for unmapped
    position    integer NOT NULL,     -- the row's place on the station's screen (0-based)
    state       text NOT NULL
        CHECK (state IN ('idle','running','passed','failed','interrupted','held')),
    suspect     boolean NOT NULL DEFAULT false,
    stage       text,                 -- the "Image" text
    progress    integer,              -- 0..100 or null
    status_text text,
    run_started timestamptz,
    updated     timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station, fixture)
);

CREATE OR REPLACE FUNCTION bramblewick.notify_line() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('bramblewick_line',
                      CASE WHEN TG_OP = 'DELETE' THEN OLD.station ELSE NEW.station END);
    RETURN NULL;
END
$$;
DROP TRIGGER IF EXISTS station_notify ON bramblewick.station;
CREATE TRIGGER station_notify AFTER INSERT OR UPDATE OR DELETE ON bramblewick.station
    FOR EACH ROW EXECUTE FUNCTION bramblewick.notify_line();
DROP TRIGGER IF EXISTS fixture_state_notify ON bramblewick.fixture_state;
CREATE TRIGGER fixture_state_notify AFTER INSERT OR UPDATE OR DELETE ON bramblewick.fixture_state
    FOR EACH ROW EXECUTE FUNCTION bramblewick.notify_line();

-- The line view (bramblewick-line, version 2): a station's last phones and its phones today, for
-- its yield alarm and chart, without reading the whole table.
CREATE INDEX IF NOT EXISTS phone_run_station_finish ON bramblewick.phone_run (station, finish);

-- Released jobs (version 2): every release any station has run, by the SHA-256 of its
-- release.txt. A station adds its release on first use and looks at the table at least once a
-- minute; an administrator revokes a release with
--   UPDATE bramblewick.job_release SET revoked_at = now(), revoked_by = 'name', reason = 'why'
--   WHERE sha256 = '...';
-- and every station running it stops taking phones. A station refuses a release older than the
-- newest unrevoked one of its product. The stations' role needs SELECT and INSERT on it.
CREATE TABLE IF NOT EXISTS bramblewick.job_release (
    sha256        text PRIMARY KEY CHECK (sha256 ~ '^[0-9a-f]{64}$'),
    product       text    NOT NULL,
    sequence      bigint  NOT NULL CHECK (sequence >= 0),
    key_id        text    NOT NULL,
    first_station text    NOT NULL,
    first_used_at timestamptz NOT NULL DEFAULT now(),
    revoked_at    timestamptz,
    revoked_by    text,
    reason        text
);
CREATE INDEX IF NOT EXISTS job_release_product ON bramblewick.job_release (product, sequence);

-- Each phone's release ({product, sequence, key_id, sha256}, or null), taken from its record as
-- it is inserted, so the insert function above stays as it is.
ALTER TABLE bramblewick.phone_run ADD COLUMN IF NOT EXISTS release jsonb;
CREATE INDEX IF NOT EXISTS phone_run_release ON bramblewick.phone_run ((release->>'sha256'));
CREATE OR REPLACE FUNCTION bramblewick.phone_run_release() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    NEW.release := NULLIF(NEW.record->'release', 'null');
    RETURN NEW;
END
$$;
DROP TRIGGER IF EXISTS phone_run_release ON bramblewick.phone_run;
CREATE TRIGGER phone_run_release BEFORE INSERT ON bramblewick.phone_run
    FOR EACH ROW EXECUTE FUNCTION bramblewick.phone_run_release();

-- Version 2, interrupted runs: a run the station ended itself (a quit, the simulation's end)
-- keeps its line ("Station stopped", code 1, passed false) but is no failure of the phone or the
-- fixture. Its record says "interrupted": true; the column follows the record (a trigger, so
-- every way of inserting gets it), and the yield views count it apart from the failures. A
-- version-1 database is upgraded in place; its earlier rows read as not interrupted.
ALTER TABLE bramblewick.phone_run ADD COLUMN IF NOT EXISTS interrupted boolean NOT NULL DEFAULT false;

CREATE OR REPLACE FUNCTION bramblewick.phone_run_interrupted() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    NEW.interrupted := CASE WHEN jsonb_typeof(NEW.record->'interrupted') = 'boolean'
                            THEN (NEW.record->>'interrupted')::boolean ELSE false END;
    RETURN NEW;
END
$$;
DROP TRIGGER IF EXISTS phone_run_interrupted ON bramblewick.phone_run;
CREATE TRIGGER phone_run_interrupted BEFORE INSERT ON bramblewick.phone_run
    FOR EACH ROW EXECUTE FUNCTION bramblewick.phone_run_interrupted();

-- "failed" and the yield leave interrupted runs out; they are counted in a column of their own.
CREATE OR REPLACE VIEW bramblewick.yield_by_station AS
SELECT finish::date AS day, station,
       count(*) AS phones,
       count(*) FILTER (WHERE passed) AS passed,
       count(*) FILTER (WHERE NOT passed AND NOT interrupted) AS failed,
       round(100.0 * count(*) FILTER (WHERE passed) /
             NULLIF(count(*) FILTER (WHERE NOT interrupted), 0), 1) AS yield_pct,
       count(*) FILTER (WHERE interrupted) AS interrupted
FROM bramblewick.phone_run
GROUP BY 1, 2;

CREATE OR REPLACE VIEW bramblewick.yield_by_fixture AS
SELECT finish::date AS day, station, fixture,
       count(*) AS phones,
       count(*) FILTER (WHERE passed) AS passed,
       count(*) FILTER (WHERE NOT passed AND NOT interrupted) AS failed,
       round(100.0 * count(*) FILTER (WHERE passed) /
             NULLIF(count(*) FILTER (WHERE NOT interrupted), 0), 1) AS yield_pct,
       count(*) FILTER (WHERE interrupted) AS interrupted
FROM bramblewick.phone_run
GROUP BY 1, 2, 3;

CREATE OR REPLACE VIEW bramblewick.yield_by_hour AS
SELECT date_trunc('hour', finish) AS hour, station,
       count(*) AS phones,
       count(*) FILTER (WHERE passed) AS passed,
       count(*) FILTER (WHERE NOT passed AND NOT interrupted) AS failed,
       round(100.0 * count(*) FILTER (WHERE passed) /
             NULLIF(count(*) FILTER (WHERE NOT interrupted), 0), 1) AS yield_pct,
       count(*) FILTER (WHERE interrupted) AS interrupted
FROM bramblewick.phone_run
GROUP BY 1, 2;

CREATE OR REPLACE VIEW bramblewick.failures AS
SELECT finish::date AS day, station, section, status_code,
       count(*) AS phones,
       mode() WITHIN GROUP (ORDER BY status_text) AS usual_text
FROM bramblewick.phone_run
WHERE NOT passed AND NOT interrupted
GROUP BY 1, 2, 3, 4;

INSERT INTO bramblewick.schema_version (version) VALUES (2) ON CONFLICT DO NOTHING;
COMMIT;
