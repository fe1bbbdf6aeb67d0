-- The panel's tables that the module reads and writes, in database vexa.
CREATE TABLE misc (
  param VARCHAR(255) NOT NULL PRIMARY KEY,
  val VARCHAR(255)
);
CREATE TABLE module_zentra_parameters (
  param VARCHAR(255) NOT NULL PRIMARY KEY,
  val VARCHAR(255)
);
CREATE TABLE module_zentra_servers (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  total_traffic BIGINT UNSIGNED NOT NULL DEFAULT 0,
  period_traffic BIGINT UNSIGNED NOT NULL DEFAULT 0,
  begin_period_date DATE NULL,
  end_period_date DATE NULL
);
